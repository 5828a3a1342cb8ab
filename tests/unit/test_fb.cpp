#include <gtest/gtest.h>

#include "gfx/fb.h"
