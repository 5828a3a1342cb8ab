// Fuzz target: the hardware-button table read from the device's registry and
// the shortcut files it names. Any registry text and any shortcut content
// give a table of at most ten entries, each program path terminated within
// its 80 characters, each argument a terminated heap string or null.
//
// Input: the registry file, then "|#|", then the content given to each of the
// three shortcut files it may name ("\Windows\a.lnk", "\Windows\b.lnk",
// "\My Documents\c d.lnk").
#include <string>

#include "fuzz/fuzz_device.h"
#include "shell/winproc.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    mkdir(fuzz_host("/Windows").c_str(), 0755);
    mkdir(fuzz_host("/My Documents").c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in((const char*)data, size);
    size_t sep = in.find("|#|");
    std::string reg = in.substr(0, sep);
    std::string lnk = sep == std::string::npos ? std::string("12#\\Windows\\x.exe arg") : in.substr(sep + 3);
    fuzz_put("/registry.reg", reg.data(), reg.size());
    for (const char* path : {"/Windows/a.lnk", "/Windows/b.lnk", "/My Documents/c d.lnk"})
        fuzz_put(path, lnk.data(), lnk.size());
    // A new device configuration reads the registry afresh.
    EmuConfig cfg;
    cfg.root = fuzz_root();
    cfg.headless = true;
    emu_configure(cfg);

    int count = -1;
    ButtonEntry* table = load_button_table(&count);
    if (count < 0 || count > BUTTON_TABLE_MAX) abort();
    if ((table == nullptr) != (count == 0)) abort();
    for (int i = 0; i < count; i++) {
        bool ended = false;
        for (int k = 0; k < 80 && !ended; k++) ended = table[i].program[k] == 0;
        if (!ended) abort();
        if (table[i].args) {
            size_t n = 0;
            while (table[i].args[n]) n++;  // terminated (ASan checks the reading)
        }
        free(table[i].args);
    }
    free(table);
    return 0;
}
