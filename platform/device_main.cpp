// The emulated device's start-up: reads the device options, switches the
// device on, starts the program on its own thread and then lets a person (the
// window) or a script drive it.
//
//   corvanta [--root DIR] [--headless] [--script FILE] [--scale N]
//            [--oem TEXT] [--panel normal|inverted] [--bpp N] [--log FILE]
//            [--clock N]
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"
#include "sdl_window.h"
#include "wince.h"

#undef fopen

int app_main(HINSTANCE inst, HINSTANCE prev, LPWSTR cmdline, int show);

static void usage(const char* msg) {
    std::fprintf(stderr, "corvanta: %s\n", msg);
    std::fprintf(stderr,
                 "usage: corvanta [--root DIR] [--headless] [--script FILE] [--scale N]\n"
                 "                [--oem TEXT] [--panel normal|inverted] [--bpp N] [--log FILE]\n"
                 "                [--clock N]\n");
    std::exit(2);
}

static bool parse_int(const char* s, long* out) {
    char* end;
    long v = std::strtol(s, &end, 0);
    if (!*s || *end) return false;
    *out = v;
    return true;
}

[[noreturn]] static void script_fail(int line, const std::string& what) {
    std::fprintf(stderr, "corvanta: script line %d: %s\n", line, what.c_str());
    emu_exit(3);
}

static double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

static void sleep_ms(double ms) { std::this_thread::sleep_for(std::chrono::microseconds((long)(ms * 1000))); }

static std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isspace((unsigned char)s[i])) i++;
        size_t j = i;
        while (j < s.size() && !isspace((unsigned char)s[j])) j++;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

static long need_int(int line, const std::vector<std::string>& w, size_t i, long def, bool optional) {
    if (i >= w.size()) {
        if (optional) return def;
        script_fail(line, "missing number after " + w[0]);
    }
    long v;
    if (!parse_int(w[i].c_str(), &v)) script_fail(line, "not a number: " + w[i]);
    return v;
}

// Runs the script to its end; then the device is switched off.
static void run_script(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) script_fail(0, "cannot open " + path);
    char buf[4096];
    int line = 0;
    while (std::fgets(buf, sizeof buf, f)) {
        line++;
        std::string s = buf;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        std::string raw = s;
        size_t hash = s.find('#');
        if (hash != std::string::npos) s = s.substr(0, hash);
        std::vector<std::string> w = words(s);
        if (w.empty()) continue;
        const std::string& c = w[0];
        if (c == "wait-idle") {
            long ms = need_int(line, w, 1, 300, true);
            double start = now_ms();
            while (!emu_idle_for((int)ms)) {
                if (now_ms() - start > 30000) script_fail(line, "the program did not become idle");
                sleep_ms(5);
            }
        } else if (c == "sleep") {
            sleep_ms((double)need_int(line, w, 1, 0, false));
        } else if (c == "tap" || c == "down" || c == "move" || c == "up") {
            long x = need_int(line, w, 1, 0, false), y = need_int(line, w, 2, 0, false);
            if (c == "tap") {
                emu_stylus(WM_LBUTTONDOWN, (int)x, (int)y);
                emu_stylus(WM_LBUTTONUP, (int)x, (int)y);
            } else {
                emu_stylus(c == "down" ? WM_LBUTTONDOWN : c == "move" ? WM_MOUSEMOVE : WM_LBUTTONUP, (int)x,
                           (int)y);
            }
        } else if (c == "key") {
            emu_key((int)need_int(line, w, 1, 0, false));
        } else if (c == "type") {
            // The text is everything after the command word, as written.
            size_t at = raw.find("type") + 4;
            if (at < raw.size() && raw[at] == ' ') at++;
            emu_type(raw.substr(at));
        } else if (c == "ctrl-q") {
            emu_post(WM_KEYDOWN, VK_CONTROL, 1, EMU_MOD_CTRL);
            emu_post(WM_KEYDOWN, 'Q', 1, EMU_MOD_CTRL);
            emu_post(WM_KEYUP, 'Q', (intptr_t)0xC0000001, EMU_MOD_CTRL);
            emu_post(WM_KEYUP, VK_CONTROL, (intptr_t)0xC0000001, 0);
        } else if (c == "focus-out" || c == "focus-in") {
            emu_focus(c == "focus-in");
        } else if (c == "screenshot") {
            if (w.size() < 2) script_fail(line, "missing file name");
            static uint16_t screen[320 * 240];
            emu_screen(screen);
            if (emu_write_png(w[1].c_str(), screen, 320, 240) != 0) script_fail(line, "cannot write " + w[1]);
        } else if (c == "expect-exit") {
            long ms = need_int(line, w, 1, 10000, true);
            sleep_ms((double)ms);  // the program's exit ends the process before this returns
            script_fail(line, "the program did not exit");
        } else {
            script_fail(line, "unknown command " + c);
        }
    }
    std::fclose(f);
}

int main(int argc, char** argv) {
    EmuConfig cfg;
    std::string script;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](void) -> const char* {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        long n;
        if (a == "--root") cfg.root = value();
        else if (a == "--headless") cfg.headless = true;
        else if (a == "--script") script = value();
        else if (a == "--scale") {
            if (!parse_int(value(), &n) || n < 1 || n > 8) usage("--scale takes 1 to 8");
            cfg.scale = (int)n;
        } else if (a == "--oem") cfg.oem = value();
        else if (a == "--panel") {
            std::string p = value();
            if (p != "normal" && p != "inverted") usage("--panel takes normal or inverted");
            cfg.inverted = p == "inverted";
        } else if (a == "--bpp") {
            if (!parse_int(value(), &n) || n < 1 || n > 32) usage("--bpp takes 1 to 32");
            cfg.bpp = (int)n;
        } else if (a == "--log") cfg.log = value();
        else if (a == "--clock") {
            char* end;
            const char* v = value();
            cfg.clock = std::strtod(v, &end);
            if (*end || cfg.clock <= 0) usage("--clock takes a positive speed factor");
        } else usage(("unknown option " + a).c_str());
    }
    struct stat st;
    if (stat(cfg.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) usage(("no device root " + cfg.root).c_str());

    // A second copy asks this one to come forward with SIGUSR1; one thread
    // takes that signal so the program thread is never interrupted.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread([set]() {
        for (;;) {
            int sig;
            if (sigwait(&set, &sig) == 0 && sig == SIGUSR1) emu_foreground_request();
        }
    }).detach();

    bool window = !cfg.headless && sdl_window_open(cfg.scale);
    if (!window) cfg.headless = true;
    emu_configure(cfg);

    std::thread program([]() {
        WCHAR cmdline[1] = {0};
        int code = app_main(nullptr, nullptr, cmdline, SW_SHOW);
        emu_exit(code);
    });
    program.detach();

    if (window) {
        if (!script.empty()) {
            std::thread([script]() {
                run_script(script);
                emu_exit(0);
            }).detach();
        }
        sdl_window_run();
        emu_exit(0);
    }
    if (!script.empty()) {
        run_script(script);
        emu_exit(0);
    }
    for (;;) pause();  // headless without a script: runs until the program ends
}
