// A control device with a page file: form pages written into "/cv/kivo.txt"
// and drawn by the real interpreter.
#ifndef CV_TESTS_PAGE_DEVICE_H
#define CV_TESTS_PAGE_DEVICE_H

#include "control_device.h"

#include <cstdio>
#include <string>

#include "page/formtags.h"
#include "page/frames.h"
#include "page/lists.h"
#include "page/page.h"
#include "page/parser.h"

struct PageDevice : ControlDevice {
    explicit PageDevice(bool inverted = false) : ControlDevice(inverted) {
        page_lists_init();
        app.page_file_path = "/cv/kivo.txt";
    }
    ~PageDevice() {
        page_lists_free();
        page_images_release();
    }
    // The start every page of the server has: the 640 by 480 frame, its
    // strips, colours and background.
    static std::string head() {
        return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
               "<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0><CR 3 0 0 280 1e0>";
    }
    // A tag with a counted text: "<" + words + " " + byte count + " " + text + ">".
    static std::string counted(const std::string& words, const std::string& text) {
        char n[16];
        snprintf(n, sizeof n, "%x", (unsigned)text.size());
        return "<" + words + " " + n + " " + text + ">";
    }
    void write(const std::string& page) {
        std::ofstream f(root + "/cv/kivo.txt", std::ios::binary | std::ios::trunc);
        f << page;
        ASSERT_TRUE(f.good());
    }
    // Writes the page and draws it as the window's paint would.
    void draw(const std::string& body) {
        write(head() + body);
        page_draw(0, 0);
    }
    static int count_text_controls() {
        int n = 0;
        for (TextBox* t = page_text_controls; t; t = t->next) n++;
        return n;
    }
    static int count_lists() {
        int n = 0;
        for (ListControl* l = page_list_controls; l; l = l->next) n++;
        return n;
    }
    static int count_buttons() {
        int n = 0;
        for (ButtonControl* b = page_buttons; b; b = b->next) n++;
        return n;
    }
    static ListControl* list_named(const char* name) {
        for (ListControl* l = page_list_controls; l; l = l->next)
            if (l->name && std::string(l->name) == name) return l;
        return nullptr;
    }
    static std::u16string label(const WCHAR* s) { return s ? std::u16string((const char16_t*)s) : u""; }
};

#endif
