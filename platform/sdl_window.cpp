// Window mode: the landscape screen scaled up; the mouse is the stylus, F1 to
// F5 the application buttons 0xC1 to 0xC5, the arrow keys the direction keys,
// and the keyboard the device's hardware keyboard.
#include "sdl_window.h"

#include <SDL2/SDL.h>

#include "emu.h"
#include "wince.h"

static SDL_Window* win;
static SDL_Renderer* ren;
static SDL_Texture* tex;
static int scale_factor = 2;

int sdl_window_open(int scale) {
    if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) return 0;
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return 0;
    scale_factor = scale < 1 ? 1 : scale;
    win = SDL_CreateWindow("Corvanta device", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                           320 * scale_factor, 240 * scale_factor, 0);
    if (!win) return 0;
    ren = SDL_CreateRenderer(win, -1, 0);
    if (!ren) return 0;
    tex = SDL_CreateTexture(ren, SDL_PIXELFORMAT_RGB565, SDL_TEXTUREACCESS_STREAMING, 320, 240);
    return tex ? 1 : 0;
}

static int vk_of(SDL_Keycode k, uint32_t* mods) {
    *mods = 0;
    if (k >= SDLK_F1 && k <= SDLK_F5) return 0xC1 + (k - SDLK_F1);
    switch (k) {
    case SDLK_UP: return VK_UP;
    case SDLK_DOWN: return VK_DOWN;
    case SDLK_LEFT: return VK_LEFT;
    case SDLK_RIGHT: return VK_RIGHT;
    case SDLK_ESCAPE: return VK_ESCAPE;
    case SDLK_BACKSPACE: return VK_BACK;
    case SDLK_RETURN: return VK_RETURN;
    case SDLK_SPACE: return VK_SPACE;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: return VK_SHIFT;
    case SDLK_LCTRL:
    case SDLK_RCTRL: return VK_CONTROL;
    // Punctuation keys send the OEM key codes of a device keyboard.
    case SDLK_SEMICOLON: return 0xBA;
    case SDLK_EQUALS: return 0xBB;
    case SDLK_COMMA: return 0xBC;
    case SDLK_MINUS: return 0xBD;
    case SDLK_PERIOD: return 0xBE;
    case SDLK_SLASH: return 0xBF;
    case SDLK_BACKQUOTE: return 0xC0;
    case SDLK_LEFTBRACKET: return 0xDB;
    case SDLK_BACKSLASH: return 0xDC;
    case SDLK_RIGHTBRACKET: return 0xDD;
    case SDLK_QUOTE: return 0xDE;
    default: break;
    }
    if (k >= SDLK_a && k <= SDLK_z) return 'A' + (k - SDLK_a);
    if (k >= SDLK_0 && k <= SDLK_9) return '0' + (k - SDLK_0);
    return 0;
}

void sdl_window_run() {
    static uint16_t screen[320 * 240];
    bool pen = false;
    for (;;) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            uint32_t mods = (SDL_GetModState() & KMOD_CTRL) ? EMU_MOD_CTRL : 0;
            if (SDL_GetModState() & KMOD_SHIFT) mods |= EMU_MOD_SHIFT;
            switch (e.type) {
            case SDL_QUIT: return;
            case SDL_MOUSEBUTTONDOWN:
                if (e.button.button == SDL_BUTTON_LEFT) {
                    pen = true;
                    emu_stylus(WM_LBUTTONDOWN, e.button.x / scale_factor, e.button.y / scale_factor);
                }
                break;
            case SDL_MOUSEBUTTONUP:
                if (e.button.button == SDL_BUTTON_LEFT && pen) {
                    pen = false;
                    emu_stylus(WM_LBUTTONUP, e.button.x / scale_factor, e.button.y / scale_factor);
                }
                break;
            case SDL_MOUSEMOTION:
                if (pen) emu_stylus(WM_MOUSEMOVE, e.motion.x / scale_factor, e.motion.y / scale_factor);
                break;
            case SDL_KEYDOWN:
            case SDL_KEYUP: {
                uint32_t m;
                int vk = vk_of(e.key.keysym.sym, &m);
                if (!vk) break;
                emu_post(e.type == SDL_KEYDOWN ? WM_KEYDOWN : WM_KEYUP, (uintptr_t)vk,
                         e.type == SDL_KEYDOWN ? 1 : (intptr_t)0xC0000001, mods);
                break;
            }
            case SDL_TEXTINPUT:
                if (e.text.text[0] && !(e.text.text[0] & 0x80) && !(mods & EMU_MOD_CTRL))
                    emu_post(WM_CHAR, (uintptr_t)(unsigned char)e.text.text[0], 1, mods);
                break;
            case SDL_WINDOWEVENT:
                if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) emu_focus(false);
                if (e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED) emu_focus(true);
                break;
            default: break;
            }
        }
        emu_take_dirty();
        emu_screen(screen);
        SDL_UpdateTexture(tex, nullptr, screen, 320 * 2);
        SDL_RenderClear(ren);
        SDL_RenderCopy(ren, tex, nullptr, nullptr);
        SDL_RenderPresent(ren);
        SDL_Delay(16);
    }
}
