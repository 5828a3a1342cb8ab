// The connection to the rendering server, the receive step that writes the
// page file, and the failure path.
//
// Everything the server sends is appended to the page file as it arrives,
// HTTP header lines included. A small tag scanner watches the bytes for the
// tags the loop itself acts on:
//
//   <IM f x y w h n> + n payload bytes   passed over; after a CL in the same
//                                        chunk the page is drawn early
//   <EN v> + ((v >> 3) rounded up to 8)  scrambled block, passed over
//   <CL ...>  page cut     <sw f dx dy>  new content of frame f
//   <ST ...>, <SS ...>  end of page      <KP ...>  redraw
//   <BU ...>  the typed address was accepted
//   <DS f x y n text>, <BT|TA|TF|PF f x y w h name n text>, <DI|LI v name n text>
//             text tags: their text (n bytes) may hold ">"
#ifndef CV_NET_NETLOOP_H
#define CV_NET_NETLOOP_H

#include "winsock.h"

extern SOCKET conn_socket;
// Data has arrived since the last request was sent.
extern BYTE arrival_mark;
// Bytes the page cut removed from the page file while drawing.
extern LONG page_shrink_count;

// The tag scanner's state; lives across receive steps, so that a tag or a
// payload may be split over any number of chunks.
#define TAG_BUFFER_SIZE 4096
struct TagScanner {
    int state;                         // 0 outside a tag, 1 after "<", 2 and 3 after each letter
    char tag[TAG_BUFFER_SIZE + 1];     // the tag so far, NUL-terminated
    int length;
    char letters[2];
    long tag_offset;                   // page-file offset of the tag's "<"
    int32_t skip;                      // payload bytes still to pass over
    BYTE cl_mark;                      // a CL tag came in this chunk
};
extern TagScanner scanner;
// Test hook: when set, called for each tag the scanner completes, with the
// page-file offset of its "<" and its two letters, before it acts on it.
extern void (*net_tag_observer)(long start, char first, char second);

// Opens the connection. Returns 0 to go on with the loop (online, or offline
// on a status page), 1 when main_loop must return *result.
int net_open(const char* host, WORD port, int tunnel, const char* request, int request_len, int* result);
// One receive step: 1 when bytes arrived, 0 when none, -1 when main_loop must
// return *result.
int net_receive_step(int* result);
// The failure path for socket error err: 0 to go on (offline), 1 when
// main_loop must return 0.
int net_fail(int err);
// Resets the scanner (state 0, nothing to skip).
void net_scanner_reset();
// Appends bytes to the page file, feeding each to the tag scanner.
void net_write_chunk(const char* data, int len);

#endif
