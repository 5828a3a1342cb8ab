// Neutral stand-in until the data files are built.
#include "shell/datafiles.h"

#include "shell/app.h"

void settings_read() {}
void home_read() {}
void history_read() {}
void history_save() {}
void history_push(const char*) {}
void load_demo_history() {}

int file_exists(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    fclose(f);
    return 1;
}
