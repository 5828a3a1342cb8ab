// The device itself: configuration, clock, event log, its file system,
// registry, shortcut files and program launching.
#include "wince.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"
#include "emu_internal.h"

#undef fopen

static EmuConfig config;
static std::mutex log_lock;
static FILE* log_file;
static thread_local DWORD last_error;
static std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
static uint32_t random_state = 0x2545F491u;
// Process and thread handles handed out by CreateProcessW, until closed.
static std::set<uintptr_t> open_handles;
static uintptr_t next_kernel_handle = 0x100;

void emu_configure(const EmuConfig& cfg) {
    config = cfg;
    std::lock_guard<std::mutex> g(log_lock);
    if (log_file) fclose(log_file);
    log_file = nullptr;
    if (!config.log.empty()) log_file = fopen(config.log.c_str(), "a");
    if (config.clock <= 0) config.clock = 1;
    const char* seed = getenv("CV_SEED");
    random_state = seed ? (uint32_t)strtoul(seed, nullptr, 0) | 1u : 0x2545F491u;
    boot = std::chrono::steady_clock::now();
    emu_windows_reset();
    emu_display_reset();
    emu_registry_reset();
    emu_file_faults_clear();
    open_handles.clear();
}

const EmuConfig& emu_config() { return config; }

void emu_log(const std::string& line) {
    std::lock_guard<std::mutex> g(log_lock);
    if (!log_file) return;
    fprintf(log_file, "%s\n", line.c_str());
    fflush(log_file);
}

void emu_exit(int code) {
    {
        std::lock_guard<std::mutex> g(log_lock);
        // Handles the program never closed are a leak worth seeing.
        if (log_file && !open_handles.empty()) fprintf(log_file, "open-handles %zu\n", open_handles.size());
        if (log_file) fflush(log_file);
    }
    emu_windows_release();
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}

double emu_device_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now() - boot).count() * config.clock;
}

void Sleep(DWORD ms) {
    std::this_thread::sleep_for(std::chrono::microseconds((long long)(ms * 1000.0 / config.clock)));
}

DWORD GetTickCount(void) { return (DWORD)(uint64_t)emu_device_ms(); }

DWORD Random(void) {
    // xorshift32: deterministic from the seed, so runs can be repeated.
    uint32_t x = random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    random_state = x;
    return x;
}

DWORD GetLastError(void) { return last_error; }
void SetLastError(DWORD err) { last_error = err; }
void ExitProcess(UINT code) { emu_exit((int)code); }

BOOL CloseHandle(HANDLE h) {
    std::lock_guard<std::mutex> g(log_lock);
    if (open_handles.erase((uintptr_t)h) == 0) {
        last_error = 6;  // ERROR_INVALID_HANDLE
        return FALSE;
    }
    return TRUE;
}

int emu_open_handles() {
    std::lock_guard<std::mutex> g(log_lock);
    return (int)open_handles.size();
}

// ---- file system -----------------------------------------------------------

std::string emu_host_path(const char* device_path) {
    std::string p = device_path ? device_path : "";
    for (auto& c : p)
        if (c == '\\') c = '/';
    std::string root = config.root.empty() ? "." : config.root;
    if (p.empty() || p[0] != '/') p = "/" + p;
    return root + p;
}

// Faults of the file system that tests switch on, by host path.
struct FileFault {
    bool read_only;    // opening for writing fails
    long write_limit;  // writes stop after this many bytes per handle (-1: none)
};
static std::map<std::string, FileFault> file_faults;
static std::mutex fault_lock;

void emu_file_fault(const char* device_path, bool read_only, long write_limit) {
    std::lock_guard<std::mutex> g(fault_lock);
    file_faults[emu_host_path(device_path)] = FileFault{read_only, write_limit};
}

void emu_file_faults_clear() {
    std::lock_guard<std::mutex> g(fault_lock);
    file_faults.clear();
}

// A handle on a full medium: the first `room` bytes written go through, the
// rest fail as a full disk does.
struct LimitedFile {
    FILE* f;
    long room;
};

static ssize_t limited_read(void* c, char* buf, size_t n) {
    LimitedFile* l = (LimitedFile*)c;
    size_t got = fread(buf, 1, n, l->f);
    return got == 0 && ferror(l->f) ? -1 : (ssize_t)got;
}

static ssize_t limited_write(void* c, const char* buf, size_t n) {
    LimitedFile* l = (LimitedFile*)c;
    size_t take = (long)n > l->room ? (size_t)l->room : n;
    size_t put = take ? fwrite(buf, 1, take, l->f) : 0;
    l->room -= (long)put;
    fflush(l->f);
    if (put < n) {
        errno = ENOSPC;
        return put ? (ssize_t)put : -1;
    }
    return (ssize_t)put;
}

static int limited_seek(void* c, off64_t* pos, int whence) {
    LimitedFile* l = (LimitedFile*)c;
    if (fseeko(l->f, (off_t)*pos, whence) != 0) return -1;
    *pos = (off64_t)ftello(l->f);
    return 0;
}

static int limited_close(void* c) {
    LimitedFile* l = (LimitedFile*)c;
    int r = fclose(l->f);
    delete l;
    return r;
}

FILE* dev_fopen(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
    std::string host = emu_host_path(path);
    bool writes = strpbrk(mode, "wa+") != nullptr;
    FileFault fault = {false, -1};
    {
        std::lock_guard<std::mutex> g(fault_lock);
        auto it = file_faults.find(host);
        if (it != file_faults.end()) fault = it->second;
    }
    if (writes && fault.read_only) {
        errno = EACCES;
        return nullptr;
    }
    FILE* f = fopen(host.c_str(), mode);
    if (!f || !writes || fault.write_limit < 0) return f;
    cookie_io_functions_t io = {limited_read, limited_write, limited_seek, limited_close};
    FILE* limited = fopencookie(new LimitedFile{f, fault.write_limit}, mode, io);
    if (!limited) fclose(f);
    return limited;
}

int dev_remove(const char* path) { return ::remove(emu_host_path(path).c_str()); }

int dev_rename(const char* from, const char* to) {
    return ::rename(emu_host_path(from).c_str(), emu_host_path(to).c_str());
}

static std::string narrow_path(LPCWSTR p) { return emu_host_path(emu_narrow(p).c_str()); }

BOOL SHGetShortcutTarget(LPCWSTR shortcut, LPWSTR target, int max_chars) {
    // A shortcut file holds "NN#target args": a character count, '#', the target.
    if (!shortcut || !target || max_chars <= 0) return FALSE;
    FILE* f = fopen(narrow_path(shortcut).c_str(), "rb");
    if (!f) return FALSE;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    char* hash = strchr(buf, '#');
    if (!hash) return FALSE;
    std::string t = hash + 1;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if ((int)t.size() + 1 > max_chars) return FALSE;
    for (size_t i = 0; i < t.size(); i++) target[i] = (unsigned char)t[i];
    target[t.size()] = 0;
    return TRUE;
}

BOOL CreateProcessW(LPCWSTR app, LPWSTR cmdline, void*, void*, BOOL, DWORD, void*, LPCWSTR, void*,
                    PROCESS_INFORMATION* pi) {
    std::string program = emu_narrow(app), args = emu_narrow(cmdline);
    if (program.empty()) {
        // No application name: the program is the first word of the command line.
        size_t sp = args.find(' ');
        program = args.substr(0, sp);
        args = sp == std::string::npos ? "" : args.substr(sp + 1);
    }
    struct stat st;
    bool exists = stat(emu_host_path(program.c_str()).c_str(), &st) == 0;
    emu_log(std::string(exists ? "launch " : "launch-failed ") + program + (args.empty() ? "" : " " + args));
    if (!exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (pi) {
        memset(pi, 0, sizeof *pi);
        std::lock_guard<std::mutex> g(log_lock);
        pi->hProcess = (HANDLE)next_kernel_handle;
        pi->hThread = (HANDLE)(next_kernel_handle + 4);
        open_handles.insert(next_kernel_handle);
        open_handles.insert(next_kernel_handle + 4);
        pi->dwProcessId = (DWORD)next_kernel_handle;
        pi->dwThreadId = (DWORD)next_kernel_handle + 4;
        next_kernel_handle += 8;
    }
    return TRUE;
}

// ---- registry ----------------------------------------------------------------
//
// Read from ROOT/registry.reg in the usual text form:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Shell\Keys\40C1]
//   @="\"\\Windows\\Start Menu\\Notes.lnk\""
// Only string values are kept. Key paths compare without regard to case.

struct RegKey {
    std::string path;  // lower case, without the root key name
    std::string name;  // last component, as written
    std::map<std::string, std::string> values;  // "" is the default value
};
static std::vector<RegKey> reg_keys;
static bool reg_loaded;
struct DeviceKey {
    int index;
};
static DeviceKey key_handles[64];
static int next_handle;

void emu_registry_reset() {
    reg_keys.clear();
    reg_loaded = false;
}

static std::string lower(std::string s) {
    for (auto& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

static std::string reg_unescape(const std::string& s, size_t* pos) {
    std::string out;
    size_t i = *pos;
    if (i >= s.size() || s[i] != '"') return out;
    for (i++; i < s.size() && s[i] != '"'; i++) {
        if (s[i] == '\\' && i + 1 < s.size()) i++;
        out += s[i];
    }
    *pos = i + 1;
    return out;
}

static void reg_load() {
    if (reg_loaded) return;
    reg_loaded = true;
    FILE* f = fopen(emu_host_path("/registry.reg").c_str(), "rb");
    if (!f) return;
    char line[2048];
    RegKey* cur = nullptr;
    while (fgets(line, sizeof line, f)) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s.size() > 2 && s[0] == '[') {
            std::string full = s.substr(1, s.find(']') - 1);
            size_t bs = full.find('\\');
            if (lower(full.substr(0, bs)) != "hkey_local_machine") {
                cur = nullptr;
                continue;
            }
            std::string path = bs == std::string::npos ? "" : full.substr(bs + 1);
            reg_keys.push_back({lower(path), path.substr(path.rfind('\\') + 1), {}});
            cur = &reg_keys.back();
        } else if (cur && !s.empty() && (s[0] == '@' || s[0] == '"')) {
            size_t pos = 0;
            std::string name;
            if (s[0] == '@') pos = 1;
            else name = reg_unescape(s, &pos);
            if (pos >= s.size() || s[pos] != '=') continue;
            pos++;
            if (pos < s.size() && s[pos] == '"') cur->values[lower(name)] = reg_unescape(s, &pos);
        }
    }
    fclose(f);
}

static int reg_find(const std::string& path) {
    std::string p = lower(path);
    for (size_t i = 0; i < reg_keys.size(); i++)
        if (reg_keys[i].path == p) return (int)i;
    // A key that only has subkeys is implied by them.
    for (const auto& k : reg_keys)
        if (k.path.compare(0, p.size() + 1, p + "\\") == 0) {
            reg_keys.push_back({p, path.substr(path.rfind('\\') + 1), {}});
            return (int)reg_keys.size() - 1;
        }
    return -1;
}

static std::string reg_path_of(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return "";
    DeviceKey* k = (DeviceKey*)key;
    return reg_keys[k->index].path;
}

static bool valid_key(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return true;
    DeviceKey* k = (DeviceKey*)key;
    return k >= key_handles && k < key_handles + 64 && k->index >= 0 && k->index < (int)reg_keys.size();
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD, DWORD, HKEY* result) {
    reg_load();
    if (!result || !valid_key(key)) return ERROR_FILE_NOT_FOUND;
    std::string base = reg_path_of(key), sub = emu_narrow(subkey);
    std::string path = base.empty() ? sub : (sub.empty() ? base : base + "\\" + sub);
    int idx = reg_find(path);
    if (idx < 0) return ERROR_FILE_NOT_FOUND;
    DeviceKey* h = &key_handles[next_handle++ % 64];
    h->index = idx;
    *result = (HKEY)h;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY) { return ERROR_SUCCESS; }

static std::vector<int> children(const std::string& parent) {
    std::vector<int> out;
    for (size_t i = 0; i < reg_keys.size(); i++) {
        const std::string& p = reg_keys[i].path;
        if (p.size() <= parent.size() + 1 || p.compare(0, parent.size(), parent) != 0) continue;
        if (!parent.empty() && p[parent.size()] != '\\') continue;
        std::string rest = p.substr(parent.empty() ? 0 : parent.size() + 1);
        if (rest.find('\\') == std::string::npos) out.push_back((int)i);
    }
    return out;
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR, DWORD*, DWORD*, DWORD* subkeys, DWORD* max_subkey_len,
                      DWORD*, DWORD* values, DWORD*, DWORD*, DWORD*, void*) {
    reg_load();
    if (!valid_key(key)) return ERROR_FILE_NOT_FOUND;
    std::vector<int> c = children(reg_path_of(key));
    if (subkeys) *subkeys = (DWORD)c.size();
    if (max_subkey_len) {
        DWORD m = 0;
        for (int i : c) m = std::max<DWORD>(m, (DWORD)reg_keys[i].name.size());
        *max_subkey_len = m;
    }
    if (values) *values = key == HKEY_LOCAL_MACHINE ? 0 : (DWORD)reg_keys[((DeviceKey*)key)->index].values.size();
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD*, LPWSTR, DWORD*, void*) {
    reg_load();
    if (!valid_key(key) || !name || !name_len) return ERROR_FILE_NOT_FOUND;
    std::vector<int> c = children(reg_path_of(key));
    if (index >= c.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& n = reg_keys[c[index]].name;
    if (n.size() + 1 > *name_len) return ERROR_MORE_DATA;
    for (size_t i = 0; i < n.size(); i++) name[i] = (unsigned char)n[i];
    name[n.size()] = 0;
    *name_len = (DWORD)n.size();
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR value, DWORD*, DWORD* type, BYTE* data, DWORD* data_len) {
    reg_load();
    if (!valid_key(key) || key == HKEY_LOCAL_MACHINE) return ERROR_FILE_NOT_FOUND;
    const RegKey& k = reg_keys[((DeviceKey*)key)->index];
    auto it = k.values.find(lower(emu_narrow(value)));
    if (it == k.values.end()) return ERROR_FILE_NOT_FOUND;
    DWORD need = (DWORD)(it->second.size() + 1) * sizeof(WCHAR);
    if (type) *type = REG_SZ;
    if (!data) {
        if (data_len) *data_len = need;
        return ERROR_SUCCESS;
    }
    if (!data_len || *data_len < need) {
        if (data_len) *data_len = need;
        return ERROR_MORE_DATA;
    }
    WCHAR* out = (WCHAR*)data;
    for (size_t i = 0; i < it->second.size(); i++) out[i] = (unsigned char)it->second[i];
    out[it->second.size()] = 0;
    *data_len = need;
    return ERROR_SUCCESS;
}
