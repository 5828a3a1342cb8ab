// A stand-in installer library for the launcher's tests. Placed beside the
// launcher as "msi.dll" (and loaded in place of the system's with
// WINEDLLOVERRIDES=msi=n), it answers the installed-state queries as the
// environment variable CV_FAKE_MSI says, space-separated name=value pairs:
//
//   state=<n>          MsiQueryProductStateA's result (default -1, unknown)
//   major=<text>       value of "VersionMajor" (default "1")
//   minor=<text>       value of "VersionMinor" (default "1")
//   major_result=<n>   MsiGetProductInfoA's result for "VersionMajor" (default 0)
//   minor_result=<n>   the same for "VersionMinor"
//
// Every call is appended to fake-msi.log beside the library, one line each:
//
//   load | query <product> | info <product> <property> <length in> | free
//
// ("free" only when the library is released, not at process exit). Built
// with CV_FAKE_NO_INFO, the library lacks MsiGetProductInfoA altogether.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdarg.h>

static HMODULE self;

static void log_line(const char *format, ...)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    char *slash = strrchr(path, '\\');
    if (!slash || (size_t)(slash - path) + sizeof "fake-msi.log" >= MAX_PATH)
        return;
    strcpy(slash + 1, "fake-msi.log");
    FILE *f = fopen(path, "a");
    if (!f)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(f, format, args);
    va_end(args);
    fputc('\n', f);
    fclose(f);
}

// The value of one setting from CV_FAKE_MSI, or the fallback.
static void setting(const char *name, char *out, size_t size, const char *fallback)
{
    snprintf(out, size, "%s", fallback);
    const char *all = getenv("CV_FAKE_MSI");
    if (!all)
        return;
    size_t length = strlen(name);
    for (const char *p = all; *p;) {
        while (*p == ' ')
            p++;
        const char *end = strchr(p, ' ');
        if (!end)
            end = p + strlen(p);
        if ((size_t)(end - p) > length && strncmp(p, name, length) == 0 && p[length] == '=') {
            size_t n = (size_t)(end - p) - length - 1;
            if (n >= size)
                n = size - 1;
            memcpy(out, p + length + 1, n);
            out[n] = '\0';
            return;
        }
        p = end;
    }
}

extern "C" __declspec(dllexport) UINT WINAPI MsiQueryProductStateA(LPCSTR product)
{
    log_line("query %s", product ? product : "(null)");
    char value[32];
    setting("state", value, sizeof value, "-1");
    return (UINT)atoi(value);
}

#ifndef CV_FAKE_NO_INFO
extern "C" __declspec(dllexport) UINT WINAPI MsiGetProductInfoA(LPCSTR product, LPCSTR property,
                                                              LPSTR buffer, LPDWORD length)
{
    log_line("info %s %s %lu", product ? product : "(null)", property ? property : "(null)",
             length ? (unsigned long)*length : 0ul);
    bool major = property && strcmp(property, "VersionMajor") == 0;
    char text[200], result[32];
    setting(major ? "major" : "minor", text, sizeof text, "1");
    setting(major ? "major_result" : "minor_result", result, sizeof result, "0");
    if (atoi(result) != 0)
        return (UINT)atoi(result);
    size_t needed = strlen(text);
    if (!length || needed >= *length) {
        if (length)
            *length = (DWORD)needed;
        return ERROR_MORE_DATA;
    }
    memcpy(buffer, text, needed + 1);
    *length = (DWORD)needed;
    return ERROR_SUCCESS;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        log_line("load");
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        log_line("free");
    }
    return TRUE;
}
