// Windows, the message queue, painting, timers, accelerators, focus and the
// window registry shared by the copies of the program that run on one device.
//
// The program runs on its own thread; the person (window or script) posts
// input from another. Everything shared between them sits behind one mutex.
#include "wince.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "emu.h"
#include "emu_internal.h"

// The window records live in host files of the device root.
#undef fopen

struct DeviceWindow {
    WNDPROC proc;
    bool invalid;
    bool alive;
    std::string cls;
    std::string title;
};

struct EmuTimer {
    UINT id;
    UINT period;
    double due;  // device milliseconds
};

// Window state: written by the program thread, read by both; input queue:
// written by the input side, read by the program thread.
static struct {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<MSG> queue;
    std::vector<EmuTimer> timers;
    DeviceWindow window;
    bool have_window = false;
    bool foreground = true;
    std::vector<std::pair<std::string, WNDPROC>> classes;
    // idle tracking, in host milliseconds
    double idle_since = -1;
    double last_poll = -1;
    uint32_t modifiers = 0;
} W;

// A handle naming a window of another copy on this device: the copy's pid.
static DeviceWindow remote_windows[1];
static pid_t remote_pid;

static HWND local_window() { return W.have_window ? &W.window : nullptr; }

std::string emu_narrow(LPCWSTR s) {
    std::string out;
    if (!s) return out;
    for (; *s; s++) {
        char16_t c = *s;
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

static std::string window_file(const std::string& cls) {
    std::string dir = emu_host_path("/") + ".device";
    mkdir(dir.c_str(), 0755);
    return dir + "/window-" + cls;
}

void emu_windows_reset() {
    std::lock_guard<std::mutex> g(W.lock);
    W.queue.clear();
    W.timers.clear();
    W.have_window = false;
    W.window = DeviceWindow();
    W.foreground = true;
    W.classes.clear();
    W.idle_since = -1;
    W.last_poll = -1;
    W.modifiers = 0;
}

void emu_windows_release() {
    std::lock_guard<std::mutex> g(W.lock);
    if (!W.have_window) return;
    std::string f = window_file(W.window.cls);
    FILE* fp = ::fopen(f.c_str(), "r");
    if (fp) {
        long pid = 0;
        if (fscanf(fp, "%ld", &pid) == 1 && pid == (long)getpid()) unlink(f.c_str());
        ::fclose(fp);
    }
}

ATOM RegisterClassW(const WNDCLASSW* wc) {
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName) return 0;
    std::lock_guard<std::mutex> g(W.lock);
    W.classes.emplace_back(emu_narrow(wc->lpszClassName), wc->lpfnWndProc);
    return (ATOM)W.classes.size();
}

HWND CreateWindowW(LPCWSTR cls, LPCWSTR title, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                   LPVOID) {
    std::string c = emu_narrow(cls);
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> g(W.lock);
        for (auto& e : W.classes)
            if (e.first == c) proc = e.second;
        if (!proc || W.have_window) return nullptr;  // one top-level window per program
        W.window.proc = proc;
        W.window.invalid = true;
        W.window.alive = true;
        W.window.cls = c;
        W.window.title = emu_narrow(title);
        W.have_window = true;
    }
    // Register the window so that another copy on this device can find it.
    std::string f = window_file(c);
    FILE* fp = ::fopen(f.c_str(), "w");
    if (fp) {
        fprintf(fp, "%ld\n%s\n", (long)getpid(), W.window.title.c_str());
        ::fclose(fp);
    }
    proc(&W.window, WM_CREATE, 0, 0);
    return &W.window;
}

BOOL DestroyWindow(HWND hwnd) {
    if (hwnd != local_window() || !W.window.alive) return FALSE;
    W.window.alive = false;
    hwnd->proc(hwnd, WM_DESTROY, 0, 0);
    emu_windows_release();
    return TRUE;
}

BOOL ShowWindow(HWND hwnd, int) { return hwnd == local_window(); }

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) {
    if (hwnd != local_window()) return FALSE;
    std::lock_guard<std::mutex> g(W.lock);
    W.window.invalid = true;
    return TRUE;
}

BOOL UpdateWindow(HWND hwnd) {
    if (hwnd != local_window()) return FALSE;
    bool paint;
    {
        std::lock_guard<std::mutex> g(W.lock);
        paint = W.window.invalid;
    }
    if (paint) hwnd->proc(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    if (ps) memset(ps, 0, sizeof *ps);
    if (hwnd != local_window()) return nullptr;
    std::lock_guard<std::mutex> g(W.lock);
    W.window.invalid = false;
    if (ps) {
        ps->rcPaint.right = 240;
        ps->rcPaint.bottom = 320;
    }
    return (HDC)hwnd;
}

BOOL EndPaint(HWND, const PAINTSTRUCT*) { return TRUE; }

static bool in_range(UINT m, UINT lo, UINT hi) { return (lo == 0 && hi == 0) || (m >= lo && m <= hi); }

static double host_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Takes the next message in [lo, hi]: posted messages first, then a paint
// request, then a due timer. Caller holds the lock.
static bool take_message(MSG* msg, UINT lo, UINT hi, bool remove) {
    for (auto it = W.queue.begin(); it != W.queue.end(); ++it) {
        if (!in_range(it->message, lo, hi)) continue;
        *msg = *it;
        if (remove) {
            W.modifiers = it->emu_modifiers;
            W.queue.erase(it);
        }
        return true;
    }
    if (W.have_window && W.window.invalid && W.window.alive && in_range(WM_PAINT, lo, hi)) {
        memset(msg, 0, sizeof *msg);
        msg->hwnd = &W.window;
        msg->message = WM_PAINT;
        return true;
    }
    if (in_range(WM_TIMER, lo, hi)) {
        double now = emu_device_ms();
        for (auto& t : W.timers) {
            if (now < t.due) continue;
            memset(msg, 0, sizeof *msg);
            msg->hwnd = &W.window;
            msg->message = WM_TIMER;
            msg->wParam = t.id;
            if (remove) {
                t.due += t.period;
                if (t.due < now) t.due = now + t.period;  // skip missed periods
            }
            return true;
        }
    }
    return false;
}

BOOL PeekMessageW(MSG* msg, HWND, UINT lo, UINT hi, UINT remove) {
    std::unique_lock<std::mutex> g(W.lock);
    double now = host_ms();
    W.last_poll = now;
    bool queued = !W.queue.empty();
    if (take_message(msg, lo, hi, remove & PM_REMOVE)) {
        if (msg->message != WM_TIMER) W.idle_since = -1;
        return TRUE;
    }
    if (queued || emu_sockets_pending()) {
        W.idle_since = -1;
        return FALSE;
    }
    if (W.idle_since < 0) W.idle_since = now;
    // Nothing to do: wait for input or the next timer, at most 10 ms, so that
    // an idle program does not spin.
    double wait = 10.0;
    double dev_now = emu_device_ms();
    for (auto& t : W.timers) {
        double d = (t.due - dev_now) / emu_config().clock;
        if (d < wait) wait = d;
    }
    if (wait > 0)
        W.wake.wait_for(g, std::chrono::microseconds((long)(wait * 1000)));
    return FALSE;
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT lo, UINT hi) {
    while (!PeekMessageW(msg, hwnd, lo, hi, PM_REMOVE)) {
    }
    return msg->message != WM_QUIT;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
    HWND hwnd = msg->hwnd ? msg->hwnd : local_window();
    if (hwnd != local_window() || !W.window.alive) return 0;
    return hwnd->proc(hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    std::lock_guard<std::mutex> g(W.lock);
    MSG m;
    memset(&m, 0, sizeof m);
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wp;
    m.lParam = lp;
    m.time = (DWORD)emu_device_ms();
    W.queue.push_back(m);
    W.idle_since = -1;
    W.wake.notify_all();
    return TRUE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (hwnd != local_window() || !W.window.alive) return 0;
    return hwnd->proc(hwnd, message, wp, lp);
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) DestroyWindow(hwnd);
    return 0;
}

void PostQuitMessage(int code) { PostMessageW(nullptr, WM_QUIT, (WPARAM)code, 0); }

// A program without accelerator resources (a test, say) gets an empty set;
// the program's own table replaces this one at link time.
__attribute__((weak)) extern const DeviceAcceleratorResource device_accelerator_resources[] = {{0, nullptr, 0}};

struct DeviceAccel {
    const DeviceAcceleratorResource* res;
};
static DeviceAccel accel_handles[8];

HACCEL LoadAcceleratorsW(HINSTANCE, LPCWSTR name) {
    int id = (int)(uintptr_t)name;
    for (int i = 0; device_accelerator_resources[i].id != 0; i++) {
        if (device_accelerator_resources[i].id != id) continue;
        DeviceAccel* h = &accel_handles[i % 8];
        h->res = &device_accelerator_resources[i];
        return h;
    }
    return nullptr;
}

int TranslateAcceleratorW(HWND hwnd, HACCEL accel, MSG* msg) {
    if (!accel || !accel->res || !msg || msg->message != WM_KEYDOWN) return 0;
    uint32_t mods = msg->emu_modifiers;
    for (int i = 0; i < accel->res->count; i++) {
        const ACCEL& a = accel->res->entries[i];
        bool want_ctrl = a.fVirt & FCONTROL, want_shift = a.fVirt & FSHIFT;
        if (a.key != (WORD)msg->wParam) continue;
        if (want_ctrl != ((mods & EMU_MOD_CTRL) != 0)) continue;
        if (want_shift != ((mods & EMU_MOD_SHIFT) != 0)) continue;
        SendMessageW(hwnd, WM_COMMAND, a.cmd, 0);
        return 1;
    }
    return 0;
}

short GetKeyState(int vk) {
    std::lock_guard<std::mutex> g(W.lock);
    if (vk == VK_CONTROL) return (W.modifiers & EMU_MOD_CTRL) ? (short)0x8000 : 0;
    if (vk == VK_SHIFT) return (W.modifiers & EMU_MOD_SHIFT) ? (short)0x8000 : 0;
    return 0;
}

UINT SetTimer(HWND hwnd, UINT id, UINT ms, void*) {
    if (hwnd != local_window()) return 0;
    std::lock_guard<std::mutex> g(W.lock);
    if (ms == 0) ms = 1;
    for (auto& t : W.timers)
        if (t.id == id) {
            t.period = ms;
            t.due = emu_device_ms() + ms;
            return id;
        }
    W.timers.push_back({id, ms, emu_device_ms() + ms});
    return id;
}

BOOL KillTimer(HWND, UINT id) {
    std::lock_guard<std::mutex> g(W.lock);
    for (auto it = W.timers.begin(); it != W.timers.end(); ++it)
        if (it->id == id) {
            W.timers.erase(it);
            return TRUE;
        }
    return FALSE;
}

HWND GetForegroundWindow(void) {
    std::lock_guard<std::mutex> g(W.lock);
    return (W.have_window && W.foreground) ? &W.window : nullptr;
}

HWND FindWindowW(LPCWSTR cls, LPCWSTR title) {
    std::string c = emu_narrow(cls), t = emu_narrow(title);
    if (W.have_window && W.window.cls == c && (!title || W.window.title == t)) return &W.window;
    FILE* fp = ::fopen(window_file(c).c_str(), "r");
    if (!fp) return nullptr;
    long pid = 0;
    char line[256] = "";
    int ok = fscanf(fp, "%ld\n", &pid);
    if (!fgets(line, sizeof line, fp)) line[0] = 0;
    ::fclose(fp);
    line[strcspn(line, "\n")] = 0;
    if (ok != 1 || pid <= 0 || pid == (long)getpid()) return nullptr;
    if (kill((pid_t)pid, 0) != 0) return nullptr;  // a stale record of a copy that died
    if (title && t != line) return nullptr;
    remote_pid = (pid_t)pid;
    return &remote_windows[0];
}

BOOL SetForegroundWindow(HWND hwnd) {
    // The low bit asks for the owned windows too; there are none here.
    hwnd = (HWND)((uintptr_t)hwnd & ~(uintptr_t)1);
    if (hwnd == &remote_windows[0]) return kill(remote_pid, SIGUSR1) == 0;
    if (hwnd != local_window()) return FALSE;
    emu_focus(true);
    return TRUE;
}

void emu_foreground_request() {
    emu_log("foreground");
    emu_focus(true);
}

void emu_focus(bool in) {
    bool changed;
    {
        std::lock_guard<std::mutex> g(W.lock);
        changed = W.foreground != in;
        W.foreground = in;
    }
    if (changed && W.have_window) PostMessageW(&W.window, in ? WM_SETFOCUS : WM_KILLFOCUS, 0, 0);
}

HGDIOBJ GetStockObject(int) { return (HGDIOBJ)1; }

int GetSystemMetrics(int index) {
    if (index == SM_CXSCREEN) return 240;
    if (index == SM_CYSCREEN) return 320;
    return 0;
}

BOOL SystemParametersInfoW(UINT action, UINT param, void* buf, UINT) {
    if (action != SPI_GETOEMINFO || !buf || param < 2) return FALSE;
    const std::string& oem = emu_config().oem;
    WCHAR* out = (WCHAR*)buf;
    UINT max = param / sizeof(WCHAR);
    UINT i = 0;
    for (; i + 1 < max && i < oem.size(); i++) out[i] = (unsigned char)oem[i];
    out[i] = 0;
    return TRUE;
}

void emu_post(unsigned message, uintptr_t wparam, intptr_t lparam, uint32_t modifiers) {
    std::lock_guard<std::mutex> g(W.lock);
    MSG m;
    memset(&m, 0, sizeof m);
    m.hwnd = W.have_window ? &W.window : nullptr;
    m.message = message;
    m.wParam = wparam;
    m.lParam = lparam;
    m.time = (DWORD)emu_device_ms();
    m.emu_modifiers = modifiers;
    W.queue.push_back(m);
    W.idle_since = -1;
    W.wake.notify_all();
}

void emu_stylus(unsigned message, int x, int y) {
    // The panel is portrait: column = y, row = 319 - x.
    emu_post(message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON, MAKELPARAM(y, 319 - x));
}

void emu_key(int vk, uint32_t modifiers) {
    emu_post(WM_KEYDOWN, (uintptr_t)vk, 1, modifiers);
    emu_post(WM_KEYUP, (uintptr_t)vk, (intptr_t)0xC0000001, modifiers);
}

static int key_of_char(char c, uint32_t* mods) {
    *mods = 0;
    if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
    if (c >= 'A' && c <= 'Z') {
        *mods = EMU_MOD_SHIFT;
        return c;
    }
    if (c >= '0' && c <= '9') return c;
    switch (c) {
    case ' ': return VK_SPACE;
    case '\n': return VK_RETURN;
    case '\b': return VK_BACK;
    case '.': return 0xBE;
    case ',': return 0xBC;
    case '-': return 0xBD;
    case '/': return 0xBF;
    case ';': return 0xBA;
    case '=': return 0xBB;
    case '\'': return 0xDE;
    case '[': return 0xDB;
    case ']': return 0xDD;
    case '\\': return 0xDC;
    case '`': return 0xC0;
    default: *mods = EMU_MOD_SHIFT; return 0xDF;  // other punctuation: the OEM key
    }
}

void emu_type(const std::string& text) {
    for (char c : text) {
        uint32_t mods;
        int vk = key_of_char(c, &mods);
        if (mods & EMU_MOD_SHIFT) emu_post(WM_KEYDOWN, VK_SHIFT, 1, mods);
        emu_post(WM_KEYDOWN, (uintptr_t)vk, 1, mods);
        emu_post(WM_CHAR, (uintptr_t)(unsigned char)(c == '\n' ? '\r' : c), 1, mods);
        emu_post(WM_KEYUP, (uintptr_t)vk, (intptr_t)0xC0000001, mods);
        if (mods & EMU_MOD_SHIFT) emu_post(WM_KEYUP, VK_SHIFT, (intptr_t)0xC0000001, 0);
    }
}

bool emu_idle_for(int ms) {
    std::lock_guard<std::mutex> g(W.lock);
    double now = host_ms();
    if (!W.queue.empty() || W.idle_since < 0) return false;
    if (now - W.last_poll > 100) return false;  // not polling: busy elsewhere
    if (emu_sockets_pending()) return false;
    return now - W.idle_since >= ms && now - emu_last_data_ms() >= ms;
}
