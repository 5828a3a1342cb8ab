// The server's log: one JSON object per line, one line per event, so that an
// operator, the tests and the benchmarks read the same record.
//
//   {"time":"2024-05-01T12:00:00.123Z","event":"page","session":3,"bytes":5120,"ms":41,...}
//
// The events and their fields are listed in docs/server.md.
#ifndef CV_SERVER_LOG_H
#define CV_SERVER_LOG_H

#include <string>

#include <nlohmann/json.hpp>

// Opens (appends to) the log file; false with a message. Without a call,
// events go nowhere.
bool log_open(const std::string& path, std::string* error);
void log_close();
// Writes one line: time, event, then the fields in their order.
void log_event(const char* event, const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());

#endif
