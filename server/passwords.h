// Passwords: hashed entries of the users file, checked off the loop, and the
// growing delay that keeps an address from guessing at full speed.
//
//   users file line     name $argon2id$v=19$m=65536,t=2,p=1$<salt>$<hash>
//                       (libsodium's crypto_pwhash_str; "corvanta-server --hash-password")
//
//   a login   ──► passwords_wait_turn(address)   one check at a time per address, each
//                  │                              after the delay its failures earned
//                  ▼
//             passwords_check ──► worker thread (Argon2id is slow on purpose:
//                  │                 tens of milliseconds and 64 MiB)
//                  ▼                 ... eventfd ──► the answer runs in the loop
//             passwords_result(address, ok or failed)
#ifndef CV_SERVER_PASSWORDS_H
#define CV_SERVER_PASSWORDS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "users.h"

struct Loop;

// After n failures in a row from an address, its next login waits
// PW_FIRST_DELAY_MS * 2^(n-1), at most PW_MAX_DELAY_MS. A success ends the
// row; so does a quarter of an hour without a failure.
enum {
    PW_FIRST_DELAY_MS = 1000,
    PW_MAX_DELAY_MS = 30000,
    PW_FORGET_MS = 15 * 60 * 1000,
    PW_WAITING_LIMIT = 8,  // logins of one address waiting their turn
};

enum PasswordOutcome { PW_OK, PW_FAILED, PW_NONE };

// Worker threads and the eventfd through which they answer the loop; false
// with a message when they cannot be had.
bool passwords_start(Loop& loop, std::string* error);
void passwords_stop();

// True when text is a password hash this server verifies ($argon2id$ or $argon2i$).
bool passwords_is_hash(const std::string& text);
// True when the hash is well formed (it can be verified).
bool passwords_valid_hash(const std::string& text);
// Hashes a password (Argon2id, libsodium's interactive limits); false when
// it cannot (out of memory).
bool passwords_hash(const std::string& password, std::string* hash);
// Blocking check of one password against a stored entry (a hash or a plain
// password, compared in constant time).
bool passwords_match(const std::string& stored, const std::string& password);
// "corvanta-server --hash-password": reads a user name and a password (a
// line each) from in, writes the users file line to out; 0, or 2 with a
// message on err.
int passwords_hash_command(FILE* in, FILE* out, FILE* err);

// Checks name and password against the users on a worker thread; done runs
// in the loop. An unknown name costs as much as a known one.
void passwords_check(const Users& users, const std::string& name, const std::string& password,
                     std::function<void(bool ok)> done);

// Runs go in the loop when a login from this address may be checked: at once
// for an address without recent failures, else after its delay, and one
// login of an address at a time. False (go is dropped) when too many of the
// address's logins wait already. Every go must be followed by one
// passwords_result for the same address.
bool passwords_wait_turn(const std::string& address, std::function<void()> go);
void passwords_result(const std::string& address, PasswordOutcome outcome);
// The wait that the address's latest failure set for its next login,
// counted from that failure (0 without a failure still remembered). It does
// not shrink as the clock runs, so a log line written a moment after the
// failure says exactly what was set.
int64_t passwords_next_delay_ms(const std::string& address);

#endif
