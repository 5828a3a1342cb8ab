// The page's form controls, built from the form-control tags.
//
// Tag forms (numbers hexadecimal, F = frame number, n = byte count of the
// UTF-8 text that follows the space after it):
//
//   <BT F x y w h name n label>    push button
//   <CB F x y w h checked name>    check box (grouped per frame as "CBs:F")
//   <RB F x y w h checked group>   radio button (grouped by group name)
//   <DM F x y w h name>            drop-down list   } their items follow as
//   <LM F x y w h name>            list box         } DI / LI tags
//   <DI selected list n label>     drop-down item
//   <LI selected list n label>     list box item
//   <TF F x y w h name n text>     text field
//   <PF F x y w h name n text>     password field
//   <TA F x y w h name n text>     text area
//
// Every pass runs these tags; the image pass finds the records the full pass
// built and only refreshes them. Nothing is drawn by the tags themselves:
// page_controls_draw draws all controls at the end of a pass.
#ifndef CV_PAGE_FORMTAGS_H
#define CV_PAGE_FORMTAGS_H

#include "gfx/controls.h"
#include "wince.h"

// The page lists (doubly linked through prev and next). The interpreter
// builds them; the stylus and keypad code change the state of the records
// they hold (selection, text) but not the lists.
extern TextBox* page_text_controls;     // TF, PF, TA
extern ListControl* page_list_controls; // DM, LM, CB groups, RB groups
extern ButtonControl* page_buttons;     // BT

// Counts the times records of these lists, or scroll bars, were destroyed
// (page rebuilt, frame removed, list box refilled, pool lost): code that
// holds a control pointer across messages (the stylus) notes it and drops
// the pointer when it has moved on.
extern DWORD page_controls_generation;

// Position key of a check box, radio button or text control: where the
// server placed it, in raw page units.
DWORD formtags_position_key(LONG x, LONG y);

// Executes a form-control tag (BT CB RB DM LM DI LI TF PF TA) held in the
// interpreter record (page/parser.h). The interpreter has already consumed
// the tag's counted text into parser.text (text_len bytes) for BT DI LI TF PF
// TA, and the name into parser.name for CB DM LM (parser.radio_group for RB),
// so the stream stays in step whatever this builds.
void formtags_execute(WORD code);
// Draws the page's controls at the end of a pass, each after selecting its
// frame's clip: text controls, then list controls, then buttons.
void page_controls_draw();
// Destroys every control of the page and empties the three lists.
void page_controls_free();
// Removes the form controls of frame f.
void frame_controls_remove(DWORD f);

#endif
