// The table of programs mapped to hardware buttons, read from the device's
// registry and shortcut files: its limits (ten entries, the lengths of the
// value, the shortcut name and the program path) and what each entry holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "emu.h"
#include "shell/app.h"
#include "shell/winproc.h"
#include "tests/unit/test_device.h"

namespace {

class ButtonTable : public ::testing::Test {
protected:
    std::string root;
    std::string reg;
    ButtonEntry* table = nullptr;
    int count = -1;
    void SetUp() override {
        root = test_device_root("cvkeys");
        ASSERT_FALSE(root.empty());
        mkdir((root + "/Windows").c_str(), 0755);
    }
    void TearDown() override {
        free_table();
        test_device_remove(root);
    }
    void free_table() {
        for (int i = 0; table && i < count; i++) free(table[i].args);
        free(table);
        table = nullptr;
    }
    void write(const std::string& path, const std::string& data) {
        std::ofstream f(root + path, std::ios::binary);
        f << data;
    }
    // A subkey of the keys folder whose default value names a shortcut (the
    // value as it is stored, before the registry file's escaping).
    void key(const std::string& name, const std::string& value) {
        std::string esc;
        for (char c : value) {
            if (c == '"' || c == '\\') esc += '\\';
            esc += c;
        }
        reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shell\\Keys\\" + name + "]\r\n@=\"" + esc + "\"\r\n";
    }
    void shortcut(const std::string& path, const std::string& target) {
        write(path, std::to_string(target.size()) + "#" + target);
    }
    void load() {
        write("/registry.reg", reg);
        test_device_switch_on(root);  // reads the registry afresh
        free_table();
        table = load_button_table(&count);
    }
    static std::string narrow(const WCHAR* w) {
        std::string s;
        for (; w && *w; w++) s += (char)*w;
        return s;
    }
};

TEST_F(ButtonTable, TakesTheFirstTenResolvableShortcutsInOrder) {
    // Twelve buttons, each with its own program; an unresolvable one and a
    // value without a shortcut among them do not count.
    key("40C0", "\\Windows\\nothing.lnk");  // no such file
    key("40C0x", "\\Windows\\notes.exe");   // no ".lnk"
    for (int i = 0; i < 12; i++) {
        char name[8], lnk[32], prog[32];
        snprintf(name, sizeof name, "40%02X", 0xC1 + i);
        snprintf(lnk, sizeof lnk, "\\Windows\\p%d.lnk", i);
        snprintf(prog, sizeof prog, "\\Windows\\p%d.exe", i);
        key(name, std::string("\"") + lnk + "\"");
        shortcut(std::string("/Windows/p") + std::to_string(i) + ".lnk", prog);
    }
    load();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(count, 10);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(narrow(table[i].program), "\\Windows\\p" + std::to_string(i) + ".exe") << i;
        EXPECT_EQ(table[i].key, 0xC1 + i) << i;
        EXPECT_EQ(table[i].args, nullptr) << i;
    }
}

TEST_F(ButtonTable, KeyCodesComeFromTheFirstFourHexDigitsOfTheName) {
    key("40c5", "\\Windows\\a.lnk");          // lower-case digits
    key("01C2extra", "\\Windows\\a.lnk");     // only four characters count
    key("C3", "\\Windows\\a.lnk");            // fewer digits: their value
    key("zz", "\\Windows\\a.lnk");            // no digits: key code 0
    shortcut("/Windows/a.lnk", "\\Windows\\a.exe  two words");
    load();
    ASSERT_EQ(count, 4);
    EXPECT_EQ(table[0].key, 0xC5);
    EXPECT_EQ(table[1].key, 0xC2);
    EXPECT_EQ(table[2].key, 0xC3);
    EXPECT_EQ(table[3].key, 0x00);
    // The target splits into the program and one argument word.
    EXPECT_EQ(narrow(table[0].program), "\\Windows\\a.exe");
    EXPECT_EQ(narrow(table[0].args), "two");
}

TEST_F(ButtonTable, OverlongNamesAreLeftOutOrCutToTheirFields) {
    // A shortcut name of 100 characters or more is not taken.
    std::string long_lnk = "\\Windows\\" + std::string(95, 'n') + ".lnk";
    key("40C1", long_lnk);
    write("/Windows/" + std::string(95, 'n') + ".lnk", "1#x");
    // A value longer than the 200 bytes read: its shortcut is cut off.
    key("40C2", std::string(120, ' ') + "\\Windows\\b.lnk");
    shortcut("/Windows/b.lnk", "\\Windows\\b.exe");
    // A program path of 100 characters keeps its first 79.
    std::string long_prog = "\\Windows\\" + std::string(91, 'p');
    key("40C3", "\\Windows\\c.lnk");
    shortcut("/Windows/c.lnk", long_prog + " arg");
    load();
    ASSERT_EQ(count, 1);
    EXPECT_EQ(table[0].key, 0xC3);
    EXPECT_EQ(narrow(table[0].program), long_prog.substr(0, 79));
    EXPECT_EQ(narrow(table[0].args), "arg");
}

TEST_F(ButtonTable, NoKeysFolderGivesAnEmptyTable) {
    load();
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(count, 0);
}

}  // namespace
