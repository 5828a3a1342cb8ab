// Reading the handheld's login and event messages.
#include "proto.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "net/key.h"
#include "net/xtea.h"

static int32_t signed_sum(const std::string& s)
{
    int32_t sum = 0;
    for (char c : s)
        sum += int8_t(c);
    return sum;
}

void proto_session_key(const std::string& customer, const std::string& address_line, uint8_t key[16])
{
    memcpy(key, CV_BASE_KEY, 16);
    uint32_t p = uint32_t(signed_sum(customer)) * uint32_t(signed_sum(address_line));
    key[14] = uint8_t(p);
    key[8] = uint8_t(p >> 8);
    key[7] = uint8_t(p >> 16);
    key[1] = uint8_t(p >> 24);
}

// Text the handheld could have typed: printable ASCII, tabs and line breaks,
// and the bytes of UTF-8 sequences. A wrong key deciphers to noise that
// fails this at once.
static bool is_text(const std::string& s)
{
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f)
            return false;
    return true;
}

// "<EN v>" + ciphertext, the whole of data; the plaintext into *plain.
static bool open_block(const std::string& data, const uint8_t key[16], std::string* plain, std::string* error)
{
    size_t close = data.find('>');
    if (data.compare(0, 4, "<EN ") != 0 || close == std::string::npos || close < 5 || close > 12) {
        *error = "malformed scrambled block";
        return false;
    }
    uint32_t v = 0;
    for (size_t i = 4; i < close; ++i) {
        char c = data[i];
        if (!isxdigit((unsigned char)c) || isupper((unsigned char)c)) {
            *error = "malformed scrambled block";
            return false;
        }
        v = v * 16 + uint32_t(isdigit((unsigned char)c) ? c - '0' : c - 'a' + 10);
    }
    size_t len = v >> 3;
    size_t padded = (len + 7) & ~size_t(7);
    if (len == 0 || len > PROTO_MAX_MESSAGE) {
        *error = "scrambled block of " + std::to_string(len) + " bytes";
        return false;
    }
    size_t have = data.size() - close - 1;
    if (have < padded) {
        *error = "truncated scrambled block";
        return false;
    }
    if (have > padded) {
        *error = "bytes after the scrambled block";
        return false;
    }
    uint8_t k[16];
    memcpy(k, key, 16);
    k[2] = uint8_t(v & 7);
    std::vector<unsigned char> buf(data.begin() + long(close) + 1, data.end());
    xtea_decipher_buffer(buf.data(), int(padded), k);
    plain->assign(reinterpret_cast<const char*>(buf.data()), len);
    if (!is_text(*plain) || (*plain)[0] != '<') {
        *error = "scrambled block does not decipher to a message";
        return false;
    }
    return true;
}

// The next CR LF terminated line from pos; false when there is none.
static bool next_line(const std::string& s, size_t* pos, std::string* line)
{
    size_t e = s.find("\r\n", *pos);
    if (e == std::string::npos)
        return false;
    *line = s.substr(*pos, e - *pos);
    *pos = e + 2;
    return true;
}

bool proto_login(const std::string& body, LoginInfo* login, std::string* error)
{
    *login = LoginInfo();
    size_t pos = 0;
    std::string greeting, customer, address;
    if (!next_line(body, &pos, &greeting) || greeting.empty() || greeting.size() > 128 || !is_text(greeting)) {
        *error = "login without a greeting line";
        return false;
    }
    login->greeting = greeting;
    if (pos == body.size()) {
        login->greeting_only = true;
        memcpy(login->key, CV_BASE_KEY, 16);
        return true;
    }
    if (!next_line(body, &pos, &customer) || !next_line(body, &pos, &address)) {
        *error = "login without customer and address lines";
        return false;
    }
    if (customer.size() > 256 || address.size() > PROTO_MAX_ADDRESS || !is_text(customer) || !is_text(address) ||
        address.compare(0, 7, "http://") != 0) {
        *error = "malformed customer or address line";
        return false;
    }
    proto_session_key(customer, address, login->key);
    std::string tm;
    if (!open_block(body.substr(pos), login->key, &tm, error)) {
        *error = "login: " + *error;
        return false;
    }
    // "<TM user\npassword\nversion\n>"
    if (tm.compare(0, 4, "<TM ") != 0 || tm.size() < 8 || tm.compare(tm.size() - 2, 2, "\n>") != 0) {
        *error = "login block is not a TM message";
        return false;
    }
    std::string fields = tm.substr(4, tm.size() - 5);  // "user\npassword\nversion\n"
    std::vector<std::string> parts;
    size_t a = 0;
    for (size_t b; (b = fields.find('\n', a)) != std::string::npos; a = b + 1)
        parts.push_back(fields.substr(a, b - a));
    if (parts.size() != 3 || a != fields.size()) {
        *error = "login block without user, password and version";
        return false;
    }
    login->customer = customer;
    // The handheld puts "http://" before whatever the balancer named; a
    // start address with a scheme of its own keeps that scheme.
    std::string rest = address.substr(7);
    size_t scheme = rest.find("://");
    bool has_scheme = scheme != std::string::npos && scheme > 0;
    for (size_t i = 0; has_scheme && i < scheme; ++i)
        if (!isalpha((unsigned char)rest[i]))
            has_scheme = false;
    login->address = has_scheme ? rest : address;
    if (rest.empty())
        login->address.clear();
    login->user = parts[0];
    login->password = parts[1];
    login->version = parts[2];
    return true;
}

bool proto_open_event(const std::string& body, const uint8_t key[16], std::string* plain, std::string* error)
{
    if (body.compare(0, 4, "<EN ") == 0)
        return open_block(body, key, plain, error);
    if (body == "<QT>\r\n\r\n" || body == "<QT>") {
        *plain = body;
        return true;
    }
    *error = body.empty() ? "empty request body" : "unscrambled message";
    return false;
}

static const char* const CODES[] = {"MC", "SC", "PGL", "PGR", "PGU", "PGD", "BA", "FO", "ZU",
                                    "ZD", "STP", "RF", "URL", "TF", "TA", "LM", "DM", "QT"};

const char* proto_message_code(MessageKind kind)
{
    return CODES[kind];
}

// A signed decimal of at most 7 digits at s[*pos]; moves past it.
static bool number(const std::string& s, size_t* pos, int* out)
{
    size_t i = *pos;
    bool neg = false;
    if (i < s.size() && s[i] == '-') {
        neg = true;
        ++i;
    }
    size_t start = i;
    long v = 0;
    while (i < s.size() && isdigit((unsigned char)s[i]) && i - start < 7)
        v = v * 10 + (s[i++] - '0');
    if (i == start || (i < s.size() && isdigit((unsigned char)s[i])))
        return false;
    *out = int(neg ? -v : v);
    *pos = i;
    return true;
}

static bool expect(const std::string& s, size_t* pos, const char* what)
{
    size_t n = strlen(what);
    if (s.compare(*pos, n, what) != 0)
        return false;
    *pos += n;
    return true;
}

// After the closing ">": nothing, or the CR LF pairs the handheld adds.
static bool tail_ok(const std::string& s, size_t pos)
{
    for (; pos < s.size(); ++pos)
        if (s[pos] != '\r' && s[pos] != '\n')
            return false;
    return true;
}

// A word up to the next space (a control name); may be empty.
static bool word(const std::string& s, size_t* pos, std::string* out)
{
    size_t e = s.find(' ', *pos);
    if (e == std::string::npos || e - *pos > PROTO_MAX_NAME)
        return false;
    *out = s.substr(*pos, e - *pos);
    *pos = e;
    for (unsigned char c : *out)
        if (c < 0x21 || c == '>')
            return false;
    return true;
}

bool proto_message(const std::string& plain, Message* m, std::string* error)
{
    *m = Message();
    const std::string& s = plain;
    size_t pos = 0;
    static const struct {
        const char* text;
        MessageKind kind;
    } simple[] = {{"<PGL>", MSG_PGL}, {"<PGR>", MSG_PGR}, {"<PGU>", MSG_PGU}, {"<PGD>", MSG_PGD},
                  {"<BA>", MSG_BA},   {"<FO>", MSG_FO},   {"<ZU>", MSG_ZU},   {"<ZD>", MSG_ZD},
                  {"<STP>", MSG_STP}, {"<RF>", MSG_RF},   {"<QT>", MSG_QT}};
    for (const auto& t : simple) {
        size_t n = strlen(t.text);
        if (s.compare(0, n, t.text) == 0 && tail_ok(s, n)) {
            m->kind = t.kind;
            return true;
        }
    }
    if (expect(s, &pos, "<MC ") || (pos = 0, expect(s, &pos, "<SC "))) {
        m->kind = s[1] == 'M' ? MSG_MC : MSG_SC;
        if (number(s, &pos, &m->x) && expect(s, &pos, " ") && number(s, &pos, &m->y) && expect(s, &pos, ">") &&
            tail_ok(s, pos))
            return true;
        *error = std::string("malformed ") + proto_message_code(m->kind) + " message";
        return false;
    }
    pos = 0;
    if (expect(s, &pos, "<URL ")) {
        // "<URL address >": the address is everything up to the last " >".
        size_t end = s.rfind(" >");
        if (end == std::string::npos || end < pos || !tail_ok(s, end + 2) || end - pos > PROTO_MAX_ADDRESS) {
            *error = "malformed URL message";
            return false;
        }
        m->kind = MSG_URL;
        m->address = s.substr(pos, end - pos);
        return true;
    }
    pos = 0;
    if (expect(s, &pos, "<TF ") || (pos = 0, expect(s, &pos, "<TA "))) {
        // "<TF name chars bytes text >": the text is exactly `bytes` bytes.
        m->kind = s[2] == 'F' ? MSG_TF : MSG_TA;
        int bytes = 0;
        if (word(s, &pos, &m->name) && expect(s, &pos, " ") && number(s, &pos, &m->count) &&
            expect(s, &pos, " ") && number(s, &pos, &bytes) && expect(s, &pos, " ") && bytes >= 0 &&
            size_t(bytes) <= s.size() - pos) {
            m->text = s.substr(pos, size_t(bytes));
            pos += size_t(bytes);
            if (expect(s, &pos, " >") && tail_ok(s, pos))
                return true;
        }
        *error = std::string("malformed ") + proto_message_code(m->kind) + " message";
        return false;
    }
    pos = 0;
    if (expect(s, &pos, "<LM ") || (pos = 0, expect(s, &pos, "<DM "))) {
        m->kind = s[1] == 'L' ? MSG_LM : MSG_DM;
        if (word(s, &pos, &m->name) && expect(s, &pos, " ") && number(s, &pos, &m->index) && m->index >= 0 &&
            expect(s, &pos, " >") && tail_ok(s, pos))
            return true;
        *error = std::string("malformed ") + proto_message_code(m->kind) + " message";
        return false;
    }
    std::string shown = s.substr(0, 12);
    for (auto& c : shown)
        if ((unsigned char)c < 0x20)
            c = ' ';
    *error = "unknown message \"" + shown + "\"";
    return false;
}
