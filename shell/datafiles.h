// The data files of "/cv/": settings, home, history, and the address history.
#ifndef CV_SHELL_DATAFILES_H
#define CV_SHELL_DATAFILES_H

void settings_read();
void home_read();
void history_read();
void history_save();
void history_push(const char* text);
void load_demo_history();
int file_exists(const char* path);

#endif
