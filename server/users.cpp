// The users file.
#include "users.h"

#include <fstream>

#include "passwords.h"

bool users_load(const std::string& path, Users* users, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    Users u;
    u.enabled = true;
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t a = line.find_first_not_of(" \t");
        if (a == std::string::npos || line[a] == '#')
            continue;
        size_t b = line.find_first_of(" \t", a);
        size_t c = b == std::string::npos ? b : line.find_first_not_of(" \t", b);
        if (c == std::string::npos) {
            *error = path + ":" + std::to_string(n) + ": a name without a password";
            return false;
        }
        size_t d = line.find_last_not_of(" \t");
        std::string secret = line.substr(c, d - c + 1);
        if (passwords_is_hash(secret)) {
            if (!passwords_valid_hash(secret)) {
                *error = path + ":" + std::to_string(n) + ": a password hash that cannot be read";
                return false;
            }
        } else {
            u.plain_lines.push_back(n);
        }
        u.entries.emplace_back(line.substr(a, b - a), secret);
    }
    *users = std::move(u);
    return true;
}

bool users_check(const Users& users, const std::string& name, const std::string& password)
{
    if (!users.enabled)
        return true;
    for (const auto& e : users.entries)
        if (e.first == name)
            return passwords_match(e.second, password);
    return false;
}
