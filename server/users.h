// The users file: who may log in.
//
//   # a comment
//   name password        (the password is the rest of the line)
//   name $argon2id$...   (a hash of it: "corvanta-server --hash-password")
//
// A name given twice is checked against its first line only.
#ifndef CV_SERVER_USERS_H
#define CV_SERVER_USERS_H

#include <string>
#include <vector>

struct Users {
    bool enabled = false;  // false: every login is accepted
    std::vector<std::pair<std::string, std::string>> entries;  // name, password or hash
    std::vector<int> plain_lines;  // lines whose password is not hashed
};

// Reads the file; false with a message (naming the line) when it cannot be
// read, a line has no password or a hash is malformed.
bool users_load(const std::string& path, Users* users, std::string* error);
// Checks in the calling thread (a hash takes tens of milliseconds); the
// server checks through passwords_check instead.
bool users_check(const Users& users, const std::string& name, const std::string& password);

#endif
