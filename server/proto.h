// What the handheld sends, read: the login body, the scrambled blocks of its
// event requests, and the event messages themselves.
//
// Login body:
//
//   | greeting CR LF | customer CR LF | "http://" start address CR LF | <EN v> | ciphertext |
//
//   or the greeting line alone when the handheld has no start address. The
//   ciphertext holds "<TM user\npassword\nversion\n>", enciphered with the
//   base key whose bytes 1, 7, 8 and 14 come from the product of the signed
//   byte sums of the customer line and the address line (the session key),
//   and byte 2 the key variant (v & 7).
//
// Event body: "<EN v>" + ciphertext of the message with the session key, or
// the quit message "<QT>\r\n\r\n" in clear text.
#ifndef CV_SERVER_PROTO_H
#define CV_SERVER_PROTO_H

#include <cstdint>
#include <string>

enum {
    PROTO_MAX_MESSAGE = 4096,  // the handheld's send buffer
    PROTO_MAX_ADDRESS = 2048,
    PROTO_MAX_NAME = 256,
};

struct LoginInfo {
    std::string greeting;     // the first line, without CR LF
    bool greeting_only = false;
    std::string customer;
    std::string address;      // the start address, "http://..." (or another scheme the line names)
    std::string user, password, version;
    uint8_t key[16] = {};     // the session key (the base key when greeting_only)
};

// Reads a login body. False with a reason when it is malformed.
bool proto_login(const std::string& body, LoginInfo* login, std::string* error);
// The session key of a customer line and an address line (both as sent).
void proto_session_key(const std::string& customer, const std::string& address_line, uint8_t key[16]);

// Opens an event body: the plaintext of its scrambled block, or the clear
// quit message. False with a reason for a truncated or oversized block, a
// block that does not decipher to text, or clear text other than the quit.
bool proto_open_event(const std::string& body, const uint8_t key[16], std::string* plain, std::string* error);

enum MessageKind {
    MSG_MC, MSG_SC, MSG_PGL, MSG_PGR, MSG_PGU, MSG_PGD, MSG_BA, MSG_FO, MSG_ZU, MSG_ZD,
    MSG_STP, MSG_RF, MSG_URL, MSG_TF, MSG_TA, MSG_LM, MSG_DM, MSG_QT,
};

struct Message {
    MessageKind kind = MSG_QT;
    int x = 0, y = 0;        // MC, SC: page position
    std::string address;     // URL: the typed address as typed
    std::string name;        // TF, TA, LM, DM: the control's name
    std::string text;        // TF, TA: the new text (UTF-8, lines joined by LF)
    int count = 0;           // TF, TA: the character count the handheld gave
    int index = 0;           // LM, DM: the chosen item
};

// Reads one event message. False with a reason for anything the vocabulary
// does not hold.
bool proto_message(const std::string& plain, Message* m, std::string* error);
const char* proto_message_code(MessageKind kind);

#endif
