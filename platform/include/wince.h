// Windows CE core library, as the emulated device provides it.
//
// Client code includes this header (with gx.h and winsock.h) and nothing from
// the host system's own interfaces. The names, types and values are those of
// the handheld's platform; the emulator in platform/ implements them on POSIX.
#ifndef CV_PLATFORM_WINCE_H
#define CV_PLATFORM_WINCE_H

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef char CHAR;
typedef char16_t WCHAR;  // 16-bit characters, as on the device
typedef WCHAR TCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uint16_t ATOM;

#define TEXT(s) u##s
#define TRUE 1
#define FALSE 0

struct DeviceWindow;
typedef DeviceWindow* HWND;
typedef struct DeviceInstance* HINSTANCE;
typedef struct DeviceAccel* HACCEL;
typedef struct DeviceBrush* HBRUSH;
typedef struct DeviceIcon* HICON;
typedef struct DeviceCursor* HCURSOR;
typedef struct DeviceMenu* HMENU;
typedef struct DeviceDC* HDC;
typedef void* HGDIOBJ;
typedef void* HANDLE;
typedef struct DeviceKey* HKEY;

struct POINT {
    LONG x;
    LONG y;
};
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

// ---- window messages -------------------------------------------------------

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202

#define MK_LBUTTON 0x0001

#define LOWORD(l) ((WORD)((uintptr_t)(l) & 0xffff))
#define HIWORD(l) ((WORD)(((uintptr_t)(l) >> 16) & 0xffff))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)(((WORD)(l)) | ((DWORD)((WORD)(h))) << 16))
#define MAKEINTRESOURCE(i) ((LPCWSTR)(uintptr_t)((WORD)(i)))

// Virtual keys.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_DELETE 0x2E
#define VK_F1 0x70

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
    DWORD emu_modifiers;  // emulator-private: modifier keys held when queued
};

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

#define WS_VISIBLE 0x10000000L
#define SW_SHOW 5
#define SW_SHOWNORMAL 1
#define WHITE_BRUSH 0
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};

// Accelerators. The program's accelerator tables are its resources: a module
// supplies them by defining device_accelerator_resources (terminated by an
// entry with id 0), as the resource compiler would for a device program.
#define FVIRTKEY 0x01
#define FSHIFT 0x04
#define FCONTROL 0x08
#define FALT 0x10
struct ACCEL {
    BYTE fVirt;
    WORD key;
    WORD cmd;
};
struct DeviceAcceleratorResource {
    int id;
    const ACCEL* entries;
    int count;
};
extern const DeviceAcceleratorResource device_accelerator_resources[];

ATOM RegisterClassW(const WNDCLASSW* wc);
HWND CreateWindowW(LPCWSTR cls, LPCWSTR title, DWORD style, int x, int y, int w, int h,
                   HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int cmd);
BOOL UpdateWindow(HWND hwnd);
BOOL InvalidateRect(HWND hwnd, const RECT* rc, BOOL erase);
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT min, UINT max, UINT remove);
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT min, UINT max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void PostQuitMessage(int code);
HACCEL LoadAcceleratorsW(HINSTANCE inst, LPCWSTR name);
int TranslateAcceleratorW(HWND hwnd, HACCEL accel, MSG* msg);
UINT SetTimer(HWND hwnd, UINT id, UINT ms, void* proc);
BOOL KillTimer(HWND hwnd, UINT id);
HWND GetForegroundWindow(void);
BOOL SetForegroundWindow(HWND hwnd);
HWND FindWindowW(LPCWSTR cls, LPCWSTR title);
HGDIOBJ GetStockObject(int obj);
int GetSystemMetrics(int index);
short GetKeyState(int vk);

#define SPI_GETOEMINFO 258
BOOL SystemParametersInfoW(UINT action, UINT param, void* buf, UINT winini);

// ---- time, randomness, processes -------------------------------------------

void Sleep(DWORD ms);
DWORD GetTickCount(void);
DWORD Random(void);

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
BOOL CreateProcessW(LPCWSTR app, LPWSTR cmdline, void* psa, void* tsa, BOOL inherit, DWORD flags,
                    void* env, LPCWSTR dir, void* si, PROCESS_INFORMATION* pi);
BOOL CloseHandle(HANDLE h);
void ExitProcess(UINT code);
DWORD GetLastError(void);
void SetLastError(DWORD err);

// Shell: the target of a shortcut file ("NN#target args").
BOOL SHGetShortcutTarget(LPCWSTR shortcut, LPWSTR target, int max_chars);

// ---- registry (read only) --------------------------------------------------

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002)
#define KEY_READ 0x20019
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define REG_SZ 1

LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, DWORD access, HKEY* result);
LONG RegCloseKey(HKEY key);
LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, DWORD* cls_len, DWORD* reserved, DWORD* subkeys,
                      DWORD* max_subkey_len, DWORD* max_class_len, DWORD* values,
                      DWORD* max_value_name_len, DWORD* max_value_len, DWORD* sec_desc,
                      void* last_write);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD* reserved,
                   LPWSTR cls, DWORD* cls_len, void* last_write);
LONG RegQueryValueExW(HKEY key, LPCWSTR value, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_len);

// ---- buffered files on the device's file system -----------------------------
//
// Paths are device paths ("/cv/kivo.txt", "\\Windows\\x.exe"); the platform
// maps them into the device's storage. fopen is routed to the device's
// implementation; the rest of stdio (fread, fwrite, fseek, ftell, fclose) works
// on the FILE it returns. Deleting and renaming take device paths too.
FILE* dev_fopen(const char* path, const char* mode);
int dev_remove(const char* path);
int dev_rename(const char* from, const char* to);
#define fopen dev_fopen

#endif
