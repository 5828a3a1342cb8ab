// Corvanta Setup: the desktop launcher that installs the handheld browser.
//
// The launcher carries the complete installer package as a resource of its
// own executable. It asks the platform installer whether the product is
// already installed and at which version, writes the package to the
// temporary directory, runs the installer program on it (a plain install, or
// a repair that re-caches the package when the installed version differs),
// waits for it and deletes the package again. It takes no options and always
// ends with exit code 0; its only user-visible output is one of two error
// boxes.
//
// Resources of this executable (string type, integer identifier):
//
//   "SETUP_FILE"/102         the installer package, written out byte for byte
//   "INSTALLER_VERSION"/106  | major int32 LE | minor int32 LE | third int32 LE |
//                            (only major and minor are read)
//
// Every path and command line lives in a 260-character buffer, the platform's
// path limit. Each copy and format into one is bounded; text that does not
// fit is a failure of the step that builds it, never a truncated name.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <limits.h>

enum {
    SETUP_PATH_SIZE = 260,      // paths and command lines
    SETUP_PROPERTY_SIZE = 100,  // installed-product property values
    SETUP_RES_PACKAGE = 102,
    SETUP_RES_VERSION = 106,
    SETUP_STATE_DEFAULT = 5,    // product installed in its default state
};

// Results of the installed-state check.
enum {
    SETUP_NO_INSTALLER = 0,
    SETUP_INSTALL = 1,
    SETUP_REPAIR = 2,
};

static const char product_code[] = "{6F1C2A90-3B4D-4E8F-9A17-5C2D8E3B7F40}";
static const char package_name[] = "corva.msi";
static const char install_format[] = "MsiExec.exe /i \"%s\"";
static const char repair_format[] =
    "MsiExec.exe /I \"%s\" REINSTALL=ALL REINSTALLMODE=vamus";
static const char error_caption[] = "Corvanta Setup Error";
static const char write_error_text[] =
    "Corvanta Setup encountered an unknown error. Setup cannot continue anymore!";
static const char start_error_text[] =
    "Microsoft Windows Installer is not installed in your system. Please Install "
    "Microsoft Windows Installer and then run Corvanta Setup again.";

typedef UINT(WINAPI *QueryProductStateFn)(LPCSTR product);
typedef UINT(WINAPI *GetProductInfoFn)(LPCSTR product, LPCSTR property,
                                       LPSTR value, LPDWORD value_size);

/*
** Ask the platform for the temporary directory (ending in a separator).
** Returns its length, or 0 when the platform gives none; a directory too long
** for the buffer is reported by a length of at least 'size' and an empty
** buffer, so that the caller can refuse it instead of using a stale text.
*/
int setup_temp_dir(char *dir, int size)
{
    dir[0] = '\0';
    DWORD length = GetTempPathA((DWORD)size, dir);
    if (length >= (DWORD)size) {
        dir[0] = '\0';
        return length > (DWORD)INT_MAX ? INT_MAX : (int)length;
    }
    return (int)length;
}

/*
** Bounded formatting into a fixed buffer: 1 when the whole text fits, else 0
** and an empty buffer (a cut-off path would name some other file).
*/
static int format_bounded(char *out, int size, const char *format, const char *a,
                          const char *b)
{
    int n = b ? snprintf(out, (size_t)size, format, a, b)
              : snprintf(out, (size_t)size, format, a);
    if (n < 0 || n >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

/*
** The package path: the temporary directory followed directly by the package
** name, or the bare name (current directory) when there is no temporary
** directory. 0 when the result does not fit.
*/
int setup_package_path(char *path, int size, const char *temp_dir, int temp_length)
{
    if (temp_length != 0) {
        // A directory the platform could not even store has no usable text.
        if (temp_length >= size)
            return 0;
        return format_bounded(path, size, "%s%s", temp_dir, package_name);
    }
    return format_bounded(path, size, "%s", package_name, nullptr);
}

/*
** Write the carried package to 'path' in one write. 1 only when the resource
** was found, the file was created and every byte of it was written.
*/
int setup_write_package(const char *path)
{
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(SETUP_RES_PACKAGE), "SETUP_FILE");
    if (!info)
        return 0;
    HGLOBAL loaded = LoadResource(nullptr, info);
    const void *data = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(nullptr, info);
    if (!data)
        return 0;

    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, size, &written, nullptr);
    // A failed close can lose buffered data: count it as a failed write.
    BOOL closed = CloseHandle(file);
    return ok && closed && written == size;
}

/*
** The version carried with the package. Both numbers stay 0 when the
** resource is missing or too short to hold them.
*/
void setup_read_version(int *major, int *minor)
{
    *major = 0;
    *minor = 0;
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(SETUP_RES_VERSION), "INSTALLER_VERSION");
    if (!info || SizeofResource(nullptr, info) < 2 * sizeof(INT32))
        return;
    HGLOBAL loaded = LoadResource(nullptr, info);
    const unsigned char *data =
        loaded ? static_cast<const unsigned char *>(LockResource(loaded)) : nullptr;
    if (!data)
        return;
    INT32 values[2];
    memcpy(values, data, sizeof values);  // resource data need not be aligned
    *major = values[0];
    *minor = values[1];
}

/*
** A property value as a decimal integer: leading white space skipped, an
** optional sign, digits up to the first other character. Out-of-range values
** saturate rather than wrap, so they never equal a carried version by chance.
*/
static int property_number(const char *text)
{
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

/*
** Query one installed-product property into a 100-character buffer.
** Returns the installer's result (0 = success).
*/
static UINT query_property(GetProductInfoFn get_info, const char *property,
                           char *value)
{
    DWORD length = SETUP_PROPERTY_SIZE;
    value[0] = '\0';
    UINT result = get_info(product_code, property, value, &length);
    value[SETUP_PROPERTY_SIZE - 1] = '\0';  // whatever the library left there
    return result;
}

/*
** Installed-state check against the carried version:
** SETUP_NO_INSTALLER when the installer library or one of its entry points
** is missing, SETUP_REPAIR when the product is installed in its default state
** at another version (or its version cannot be read), SETUP_INSTALL otherwise.
*/
int setup_check_installed(int major, int minor)
{
    HMODULE library = LoadLibraryA("msi.dll");
    if (!library)
        return SETUP_NO_INSTALLER;
    auto query_state = reinterpret_cast<QueryProductStateFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "MsiQueryProductStateA")));
    auto get_info = reinterpret_cast<GetProductInfoFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "MsiGetProductInfoA")));
    if (!query_state || !get_info) {
        FreeLibrary(library);
        return SETUP_NO_INSTALLER;
    }

    int result = SETUP_INSTALL;
    if ((int)query_state(product_code) == SETUP_STATE_DEFAULT) {
        char installed_major[SETUP_PROPERTY_SIZE];
        char installed_minor[SETUP_PROPERTY_SIZE];
        UINT major_result = query_property(get_info, "VersionMajor", installed_major);
        UINT minor_result = query_property(get_info, "VersionMinor", installed_minor);
        if (major_result != 0 || minor_result != 0 ||
            property_number(installed_major) != major ||
            property_number(installed_minor) != minor)
            result = SETUP_REPAIR;
    }
    FreeLibrary(library);
    return result;
}

/*
** The installer command line for a check result: the repair line for
** SETUP_REPAIR, the first-installation line otherwise. 0 when it does not fit.
*/
int setup_command_line(char *command, int size, int check, const char *package_path)
{
    const char *format = check == SETUP_REPAIR ? repair_format : install_format;
    return format_bounded(command, size, format, package_path, nullptr);
}

/*
** Run the command line as a new process and wait for it to end, however
** long the installer (and the user at its dialogs) takes. 1 when it started.
*/
int setup_run_installer(char *command)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

static void show_error(const char *text)
{
    MessageBoxA(nullptr, text, error_caption, MB_OK);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char temp_dir[SETUP_PATH_SIZE];
    char package_path[SETUP_PATH_SIZE];
    char command[SETUP_PATH_SIZE];

    int temp_length = setup_temp_dir(temp_dir, SETUP_PATH_SIZE);
    // A path that does not fit is never written, so there is nothing to
    // delete either: the buffer stays empty.
    int have_path = setup_package_path(package_path, SETUP_PATH_SIZE, temp_dir, temp_length);
    if (!have_path || !setup_write_package(package_path)) {
        show_error(write_error_text);
    } else {
        int major, minor;
        setup_read_version(&major, &minor);
        int check = setup_check_installed(major, minor);
        // A package path so long that the installer's command line cannot
        // hold it is an error of its own; the installer is not to blame.
        if (!setup_command_line(command, SETUP_PATH_SIZE, check, package_path))
            show_error(write_error_text);
        else if (!setup_run_installer(command))
            show_error(start_error_text);
    }
    if (have_path)
        DeleteFileA(package_path);
    return 0;
}
