// Win32 side of the platform layer: the one conversion between the
// library's narrow text (the ANSI code page) and the wide text of the W
// calls. Both return a malloc'd, NUL-terminated copy the caller frees, or
// null when the text cannot be converted or memory is short.
#ifndef VX_PLATFORM_WIN_WIDE_TEXT_H
#define VX_PLATFORM_WIN_WIDE_TEXT_H

wchar_t* vxp_win_widen(const char* text);
char* vxp_win_narrow(const wchar_t* text);

#endif
