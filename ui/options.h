// The options screen: user name, password and proxy, drawn by the client.
//
//   (20,20)+------------------ panel ------------------+
//          |        Corvanta 1.x Options  (y 35)        |
//          | User name:  [ field, top 70            ]   |
//          | Password:   [ field, top 100           ]   |
//          | [x] Use Proxy Server for HTTP & Security   |
//          | Address of Proxy Server to use:    Port    |
//          | [ host, top 168                  ] : [port]|
//          |        [  OK  ]          [ Cancel ]  (193) |
//          +-------------------------------------------+(219,299)
#ifndef CV_UI_OPTIONS_H
#define CV_UI_OPTIONS_H

#include "wince.h"

// Draws the screen, building its controls on the first paint.
void options_paint();
// Stylus down, move and up while the screen is shown.
void options_stylus(HWND hwnd, UINT message, int x, int y);
// Copies the fields into the settings and writes the settings file.
void options_store();

#endif
