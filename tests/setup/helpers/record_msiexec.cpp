// A stand-in installer program for the launcher's tests. Placed beside the
// launcher as "MsiExec.exe", it is found before the system's installer and
// records what it was started with, beside itself:
//
//   msiexec-cmdline.txt   the command line, byte for byte
//   msiexec-package.msi   a copy of the package named in double quotes
//   msiexec-state.txt     "package_present_after_hold=0|1" (see CV_RECORD_HOLD_MS)
//
// With CV_RECORD_HOLD_MS set it waits that long before looking at the package
// a second time: a launcher that does not wait for its installer would have
// deleted the package by then.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void beside_self(char *out, size_t size, const char *name)
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        snprintf(out, size, "%s", name);
        return;
    }
    char *slash = strrchr(self, '\\');
    if (slash)
        slash[1] = '\0';
    snprintf(out, size, "%s%s", self, name);
}

int main()
{
    char path[MAX_PATH + 32];
    const char *command = GetCommandLineA();

    beside_self(path, sizeof path, "msiexec-cmdline.txt");
    FILE *f = fopen(path, "wb");
    if (f) {
        fwrite(command, 1, strlen(command), f);
        fclose(f);
    }

    // The package path is the first text in double quotes.
    char package[1024] = "";
    const char *open = strchr(command, '"');
    const char *close = open ? strchr(open + 1, '"') : nullptr;
    if (open && close && (size_t)(close - open - 1) < sizeof package) {
        memcpy(package, open + 1, (size_t)(close - open - 1));
        package[close - open - 1] = '\0';
        beside_self(path, sizeof path, "msiexec-package.msi");
        CopyFileA(package, path, FALSE);
    }

    int present = -1;
    const char *hold = getenv("CV_RECORD_HOLD_MS");
    if (hold && package[0]) {
        Sleep((DWORD)atoi(hold));
        present = GetFileAttributesA(package) != INVALID_FILE_ATTRIBUTES;
    }
    beside_self(path, sizeof path, "msiexec-state.txt");
    f = fopen(path, "w");
    if (f) {
        fprintf(f, "package_present_after_hold=%d\n", present);
        fclose(f);
    }
    // An installer failure code: the launcher must not care.
    return 1603;
}
