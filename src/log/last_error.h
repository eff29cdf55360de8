// The reason of the last failed call on each thread, in the words of the
// call log's error lines, kept whether or not a log is open; and its
// export, vx_comm_lastError.
#ifndef VX_LAST_ERROR_H
#define VX_LAST_ERROR_H

#include "vx_comm.h"

// An export begins: the thread's reason is emptied.
void vx_last_error_begin();

// One error line (as the log writes it, without the stamp); the first of a
// call is kept whole, later ones are added after "; " without repeating a
// "name() error: " that the first line began with.
void vx_last_error_note(const char* line);

// The export `name` ended with `status`: a success empties the reason (an
// error line on the way was no failure of the call); a failure that logged
// no line gets "name() error: <status name>" (nothing when name is null).
void vx_last_error_end(const char* name, ViStatus status);

#endif
