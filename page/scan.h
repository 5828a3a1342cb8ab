// Reading a tag's arguments: the formatted input of the C library, cut down
// to what tags use. page_scan reads exactly as sscanf does in the "C" locale
// for these directives, and returns what it would:
//
//   white space   skips any white space (none, too)
//   other bytes   must match the input, else reading stops
//   %x, %lx       white space, then an optional sign, an optional 0x, hex
//                 digits, converted as strtoul does (a value beyond 64 bits
//                 is ULONG_MAX; %x keeps its low 32 bits)
//   %s, %Ns       white space, then up to N bytes that are not white space
//
// The result is the number of arguments stored, or EOF when the input ended
// before the first of them. sscanf's generality (locales, every conversion)
// costs more than the rest of a tag's execution; tags are read on every pass
// of every page.
#ifndef CV_PAGE_SCAN_H
#define CV_PAGE_SCAN_H

int page_scan(const char* input, const char* format, ...);

#endif
