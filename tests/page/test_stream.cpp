// The network loop's tag scanner and the page interpreter agree on where
// every tag of every shipped page starts, and on what lies inside tags, texts
// and payloads, whatever the chunks the stream arrives in.
#include "page_fixture.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

using Stream = PageTest;

const char* const SHIPPED[] = {"cvsplash", "busy", "noconnect", "disconnect", "cvupgrade",
                               "demo1", "demo2", "demo3", "demo4", "demo5"};

std::string shipped(const char* name) {
    std::ifstream f(std::string(CV_BINARY_DIR) + "/device/cv/" + name + ".txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Span {
    long start;
    long resume;
};
std::vector<Span> spans;
void observe(long start, long resume) { spans.push_back({start, resume}); }

long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

}  // namespace

TEST_F(Stream, ScannerAndInterpreterAgreeOnEveryTagOfEveryShippedPage) {
    for (const char* name : SHIPPED) {
        std::string data = shipped(name);
        ASSERT_FALSE(data.empty()) << name;
        // The first sw ends where the scanner rewrites the file; until then
        // offsets of the growing file and of the final file differ.
        size_t sw = data.find("<sw ");
        long sw_end = sw == std::string::npos ? 0 : (long)data.find('>', sw) + 1;
        for (int chunk : {1, 7, 4095}) {
            SCOPED_TRACE(std::string(name) + " in chunks of " + std::to_string(chunk));
            write_page("");
            net_scanner_reset();
            app.loading = 0;
            std::vector<long> scanned;     // tag starts as the scanner completes them
            struct Boundary {
                long q;
                int state;
                long tag_offset;
                int32_t skip;
            };
            std::vector<Boundary> bounds;
            for (size_t i = 0; i < data.size(); i += chunk) {
                int prev = scanner.state;
                int len = (int)std::min<size_t>(chunk, data.size() - i);
                net_write_chunk(data.data() + i, len);
                if (chunk == 1 && prev == 3 && scanner.state == 0) scanned.push_back(scanner.tag_offset);
                if ((long)(i + len) > sw_end)
                    bounds.push_back({file_size(host("/cv/kivo.txt")), scanner.state, scanner.tag_offset, scanner.skip});
            }
            EXPECT_EQ(scanner.state, 0);
            EXPECT_EQ(scanner.skip, 0);
            // Every byte reached the file, less the sw tag the scanner removed.
            std::string expect = data;
            if (sw != std::string::npos) expect.erase(sw, sw_end - sw);
            ASSERT_EQ(read_page(), expect);

            spans.clear();
            parser_tag_observer = observe;
            page_draw(0, 1);
            parser_tag_observer = nullptr;
            ASSERT_FALSE(spans.empty());
            if (chunk == 1) {
                std::vector<long> parsed;
                for (const Span& s : spans) parsed.push_back(s.start);
                // The sw tag was removed, and the tag after it now starts where
                // it started.
                std::vector<long> want = scanned;
                auto gone = std::find(want.begin(), want.end(), (long)sw);
                if (gone != want.end()) want.erase(gone);
                EXPECT_EQ(parsed, want);
            }
            for (const Boundary& b : bounds) {
                SCOPED_TRACE("after " + std::to_string(b.q) + " bytes");
                if (b.state != 0) {
                    // Inside a tag: the interpreter has a tag starting there.
                    bool found = false;
                    for (const Span& s : spans)
                        if (s.start == b.tag_offset && s.start < b.q && b.q < s.resume + 1) found = true;
                    EXPECT_TRUE(found) << "scanner inside a tag at " << b.tag_offset;
                } else if (b.skip > 0) {
                    // Passing over a payload or the rest of a text.
                    bool found = false;
                    for (const Span& s : spans)
                        if (s.start < b.q && b.q + b.skip >= s.resume && b.q + b.skip <= s.resume + 1) found = true;
                    EXPECT_TRUE(found) << "scanner skipping " << b.skip;
                } else {
                    for (const Span& s : spans)
                        EXPECT_FALSE(s.start < b.q && b.q < s.resume) << "scanner outside, interpreter inside " << s.start;
                }
            }
        }
    }
}
