// Windows: the maker's kernel driver serves USB instruments; no service to start.
#include "usb_service.h"

const char* vxcomm_usb_service_missing() { return nullptr; }
