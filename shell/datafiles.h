// The data files of "/cv/": settings, home, history, and the address history.
//
// cvconfig.txt   customer name, user name, password, proxy "host:port:On|Off",
//                white-space separated (the options screen writes one per line)
// cvhome.txt     load balancer host, then its port
// cvhistory.txt  address history, one entry per line, oldest first
#ifndef CV_SHELL_DATAFILES_H
#define CV_SHELL_DATAFILES_H

#define SETTINGS_FILE "/cv/cvconfig.txt"
#define HOME_FILE "/cv/cvhome.txt"
#define HISTORY_FILE "/cv/cvhistory.txt"

// The demo history: the no-connection page, then the demo pages, then
// nothing, so that the address bar offers pages that need no server.
extern const char* const DEMO_HISTORY[9];

void settings_read();
void home_read();
void history_read();
// Writes the history, oldest first; only while online, so that the demo
// history never replaces the user's own.
void history_save();
// Puts a copy of text (null stays null) at entry 0; entry 8 falls off.
void history_push(const char* text);
void load_demo_history();
int file_exists(const char* path);

#endif
