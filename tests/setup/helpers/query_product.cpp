// Asks the platform installer about the handheld browser's product and
// prints the answers, one "name=value" per line:
//
//   state=<MsiQueryProductStateA>
//   VersionMajor=<value or "error <code>">
//   VersionMinor=...
//   VersionString=...
#include <windows.h>
#include <msi.h>
#include <stdio.h>

static const char product_code[] = "{6F1C2A90-3B4D-4E8F-9A17-5C2D8E3B7F40}";

static void print_property(const char *name)
{
    char value[256];
    DWORD length = sizeof value;
    UINT result = MsiGetProductInfoA(product_code, name, value, &length);
    if (result == ERROR_SUCCESS)
        printf("%s=%s\n", name, value);
    else
        printf("%s=error %u\n", name, result);
}

int main()
{
    printf("state=%d\n", (int)MsiQueryProductStateA(product_code));
    print_property("VersionMajor");
    print_property("VersionMinor");
    print_property("VersionString");
    fflush(stdout);
    return 0;
}
