// The receive step writes what arrives in runs and passes over payloads, the
// bytes between tags and the bodies of tags at once. However the stream is
// cut into chunks (one byte each, as it arrives, or whole), the page file,
// the scanner and the loop's flags must end the same: random streams made of
// the shipped pages, frame replacements, overlong tags, texts holding ">",
// payloads holding tag look-alikes and scrambled blocks.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/netloop.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

namespace {

struct Outcome {
    std::string file;
    int state, length, skip;
    std::string tag;
    long tag_offset;
    int redraw, loading;
    bool operator==(const Outcome& o) const {
        return file == o.file && state == o.state && length == o.length && skip == o.skip && tag == o.tag &&
               tag_offset == o.tag_offset && redraw == o.redraw && loading == o.loading;
    }
};

std::string shipped(const char* name) {
    std::ifstream f(std::string(CV_BINARY_DIR) + "/device/cv/" + name + ".txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string random_stream(std::mt19937& rng) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static const char* const pages[] = {"demo1", "demo3", "demo4", "demo5", "busy", "cvsplash"};
    std::string s;
    for (int part = 0; part < 6; part++) {
        switch (pick(0, 7)) {
        case 0:
            s += shipped(pages[pick(0, 5)]);
            break;
        case 1:
            s += "<DS 3 10 20 5 a>b<c><ST>";  // a text holding ">" and "<"
            break;
        case 2:
            s += "<IM 3 0 0 4 4 9>ab<ST>cd>x<IE>";  // a payload with look-alikes
            break;
        case 3:
            s += "<XY " + std::string((size_t)pick(4000, 9000), 'q') + "><KP>";  // beyond the buffer
            break;
        case 4:
            s += "<sw 3 0 0><FR 0 0 280 1e0><CR 3 0 0 10 10>";  // new content for the main frame
            break;
        case 5:
            s += "<EN 4b>0123<ST>89abcdef<BC 1 2 3>";  // a 9-byte scrambled block
            break;
        case 6: {
            std::string junk;
            for (int k = pick(1, 200); k > 0; k--) junk += "<>a \r\n"[pick(0, 5)];
            s += junk;
            break;
        }
        default:
            s += "<BT 3 1 2 3 4 go 3 a>b><TF 3 1 2 3 4 f 2 >>";
        }
    }
    if (pick(0, 2) == 0) s.resize((size_t)pick(0, (int)s.size()));  // cut anywhere
    return s;
}

class ReceiveRuns : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        root = test_device_root("cvruns");
        test_device_switch_on(root);
        app_state_init();
    }
    void TearDown() override {
        app_state_init();
        test_device_remove(root);
    }
    Outcome feed(const std::string& data, const std::vector<size_t>& cuts) {
        std::ofstream(root + "/cv/kivo.txt", std::ios::binary | std::ios::trunc);
        net_scanner_reset();
        app.redraw_pending = 0;
        app.loading = 1;
        size_t at = 0;
        for (size_t n : cuts) {
            net_write_chunk(data.data() + at, (int)n);
            at += n;
        }
        std::ifstream f(root + "/cv/kivo.txt", std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return {s.str(),       scanner.state, scanner.length, scanner.skip, std::string(scanner.tag),
                scanner.tag_offset, app.redraw_pending, app.loading};
    }
};

}  // namespace

TEST_F(ReceiveRuns, AnyCuttingIntoChunksEndsAlike) {
    std::mt19937 rng(17);
    for (int i = 0; i < 25; i++) {
        std::string s = random_stream(rng);
        std::vector<size_t> whole;
        for (size_t at = 0; at < s.size(); at += 4095) whole.push_back(std::min((size_t)4095, s.size() - at));
        std::vector<size_t> bytes(s.size(), 1);
        std::vector<size_t> random;
        for (size_t at = 0; at < s.size();) {
            size_t n = std::min(s.size() - at, (size_t)std::uniform_int_distribution<int>(1, 700)(rng));
            random.push_back(n);
            at += n;
        }
        Outcome a = feed(s, bytes);
        Outcome b = feed(s, whole);
        Outcome c = feed(s, random);
        ASSERT_TRUE(a == b) << "stream " << i << ": one-byte chunks and receive-sized chunks differ";
        ASSERT_TRUE(a == c) << "stream " << i << ": one-byte chunks and random chunks differ";
    }
}

TEST_F(ReceiveRuns, ATagBeyondTheBufferRestartsItByteForByteAsItArrives) {
    for (int body : {4092, 4093, 4094, 5000, 8189, 8190, 8191, 12000}) {
        std::string s = "<XY";
        for (int k = 0; k < body; k++) s += (char)('a' + k % 26);
        // The rule byte by byte: a byte that finds the buffer full restarts
        // it and is not kept.
        std::string model = "<XY";
        for (size_t k = 3; k < s.size(); k++) {
            if (model.size() < TAG_BUFFER_SIZE) model += s[k];
            else model.clear();
        }
        for (size_t chunk : {(size_t)1, (size_t)4095, s.size()}) {
            std::vector<size_t> cuts;
            for (size_t at = 0; at < s.size(); at += chunk) cuts.push_back(std::min(chunk, s.size() - at));
            Outcome o = feed(s, cuts);
            ASSERT_EQ(o.state, 3) << body;
            ASSERT_EQ(o.length, (int)model.size()) << body << " in chunks of " << chunk;
            ASSERT_EQ(o.tag, model) << body << " in chunks of " << chunk;
        }
    }
}
