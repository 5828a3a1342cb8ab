// The users file: who may log in.
//
//   # a comment
//   name password        (the password is the rest of the line)
#ifndef CV_SERVER_USERS_H
#define CV_SERVER_USERS_H

#include <string>
#include <vector>

struct Users {
    bool enabled = false;  // false: every login is accepted
    std::vector<std::pair<std::string, std::string>> entries;
};

// Reads the file; false with a message (naming the line) when it cannot be
// read or a line has no password.
bool users_load(const std::string& path, Users* users, std::string* error);
bool users_check(const Users& users, const std::string& name, const std::string& password);

#endif
