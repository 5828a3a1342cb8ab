// Form controls of a real page as the client builds them from the stream:
// every kind, at the engine's places, with the page's values; the password
// only inside the scrambled block.
#include <algorithm>
#include <map>
#include <set>

#include "render_fixture.h"

namespace {

using Controls = RenderTest;

std::string narrow(const WCHAR* w) {
    std::string s;
    for (; w && *w; w++) s += (char)*w;
    return s;
}

int count_list(int kind) {
    int n = 0;
    for (ListControl* l = page_list_controls; l; l = l->next) n += l->kind == kind;
    return n;
}

ListControl* find_list(int kind) {
    for (ListControl* l = page_list_controls; l; l = l->next)
        if (l->kind == kind) return l;
    return nullptr;
}

}  // namespace

TEST_F(Controls, EveryKindIsBuiltWithThePagesValues) {
    Rendered r;
    ASSERT_TRUE(render(page_url("form.html"), false, &r));
    draw(r.stream, false);

    std::map<char, int> kinds;
    std::set<std::string> names;
    for (const RenderControl& c : r.page.controls) {
        kinds[c.kind]++;
        // radio buttons carry the name of their group
        if (c.kind != 'R') {
            EXPECT_TRUE(names.insert(c.name).second) << "name " << c.name << " given twice";
        }
        EXPECT_GT(c.backend_node_id, 0);
    }
    EXPECT_EQ(kinds['T'], 3);
    EXPECT_EQ(kinds['P'], 1);
    EXPECT_EQ(kinds['C'], 2);
    EXPECT_EQ(kinds['R'], 2);
    EXPECT_EQ(kinds['D'], 1);
    EXPECT_EQ(kinds['L'], 1);
    EXPECT_EQ(kinds['A'], 1);
    EXPECT_EQ(kinds['B'], 4);

    // Text controls: three fields, the password field and the text area.
    std::vector<std::string> fields, passwords, areas;
    for (TextBox* t = page_text_controls; t; t = t->next) {
        if (t->password) passwords.push_back(narrow(t->lines[0]));
        else if (t->single_line) fields.push_back(narrow(t->lines[0]));
        else areas.push_back(narrow(t->lines[0]) + "|" + narrow(t->lines[1]));
    }
    std::sort(fields.begin(), fields.end());
    EXPECT_EQ(fields, (std::vector<std::string>{"", "Ada", "ada@example.org"}));
    EXPECT_EQ(passwords, std::vector<std::string>{"s3cret"});
    EXPECT_EQ(areas, std::vector<std::string>{"Hello|there"});

    // The password travels scrambled, nowhere in clear text.
    EXPECT_EQ(r.stream.find("s3cret"), std::string::npos);
    EXPECT_NE(r.stream.find("<EN "), std::string::npos);

    // Check boxes (one group per frame), radio buttons (one group).
    EXPECT_EQ(count_list(LIST_CHECK_BOXES), 1);
    EXPECT_EQ(count_list(LIST_RADIO_BUTTONS), 1);
    ListControl* boxes = find_list(LIST_CHECK_BOXES);
    ASSERT_NE(boxes, nullptr);
    ASSERT_EQ(boxes->item_count, 2);
    EXPECT_EQ(boxes->items[0]->selected + boxes->items[1]->selected, 1);
    ListControl* radios = find_list(LIST_RADIO_BUTTONS);
    ASSERT_NE(radios, nullptr);
    ASSERT_EQ(radios->item_count, 2);
    EXPECT_NE(radios->items[0]->selected, 0);
    EXPECT_EQ(radios->items[1]->selected, 0);

    // The drop-down holds its three items with the second chosen; the list
    // box its four with Green chosen.
    ListControl* drop = find_list(LIST_DROP_DOWN);
    ASSERT_NE(drop, nullptr);
    ASSERT_EQ(drop->item_count, 3);
    EXPECT_EQ(narrow(drop->items[1]->label), "Music");
    EXPECT_NE(drop->items[1]->selected, 0);
    ListControl* box = find_list(LIST_BOX);
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(box->item_count, 4);
    EXPECT_EQ(narrow(box->items[1]->label), "Green");
    EXPECT_NE(box->items[1]->selected, 0);
    for (const RenderControl& c : r.page.controls) {
        if (c.kind == 'D') {
            EXPECT_EQ(c.options, (std::vector<int>{0, 1, 2}));
        }
    }

    // Buttons with their labels.
    std::vector<std::string> labels;
    for (ButtonControl* b = page_buttons; b; b = b->next) labels.push_back(narrow(b->label));
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(labels, (std::vector<std::string>{"Other", "Press me", "Reset", "Send"}));
}

TEST_F(Controls, ControlsStandWhereTheEnginePutThem) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("form.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "form-zoomed" : "form", s, &r);
        double sc = zoomed ? 2.0 / 3.0 : 0.5;
        int placed = 0;
        for (const EngineBox& b : r.controls) {
            int x0, y0, x1, y1;
            device_box(b, sc, &x0, &y0, &x1, &y1);
            SCOPED_TRACE(b.tag + " " + b.type + " at " + std::to_string(x0) + ", " + std::to_string(y0));
            bool found = false;
            if (b.tag == "TEXTAREA" || (b.tag == "INPUT" && (b.type == "text" || b.type == "search" ||
                                                             b.type == "email" || b.type == "password"))) {
                // the box's frame lies two pixels around its inside
                for (TextBox* t = page_text_controls; t && !found; t = t->next)
                    found = std::abs(t->rect.left - 2 - x0) <= 1 && std::abs(t->rect.top - 2 - (y0 - 1)) <= 1 &&
                            std::abs(t->rect.right + 2 - (x1 - 1)) <= 2 && std::abs(t->rect.bottom + 2 - (y1 - 1)) <= 2;
            } else if (b.tag == "BUTTON" || b.type == "submit" || b.type == "reset" || b.type == "button") {
                for (ButtonControl* t = page_buttons; t && !found; t = t->next)
                    found = std::abs(t->rect.left - x0) <= 1 && std::abs(t->rect.top - y0) <= 1 &&
                            std::abs(t->rect.right - (x1 - 1)) <= 1 && std::abs(t->rect.bottom - (y1 - 1)) <= 1;
            } else if (b.type == "checkbox" || b.type == "radio") {
                double cx = (x0 + x1) / 2.0, cy = (y0 + y1) / 2.0;
                for (ListControl* l = page_list_controls; l && !found; l = l->next)
                    for (int i = 0; i < l->item_count && !found; i++) {
                        const Rect& q = l->items[i]->rect;
                        found = std::fabs((q.left + q.right) / 2.0 - cx) <= 1.5 &&
                                std::fabs((q.top + q.bottom) / 2.0 - cy) <= 1.5;
                    }
            } else if (b.tag == "SELECT") {
                // a drop-down's box, or a list box's rows, begin at its corner
                for (ListControl* l = page_list_controls; l && !found; l = l->next)
                    found = (l->kind == LIST_DROP_DOWN || l->kind == LIST_BOX) && std::abs(l->rect.left - x0) <= 2 &&
                            std::abs(l->rect.top - y0) <= 2 && l->rect.right <= x1 + 2;
            } else {
                continue;
            }
            placed++;
            EXPECT_TRUE(found);
        }
        EXPECT_EQ(placed, 15);
    }
}
