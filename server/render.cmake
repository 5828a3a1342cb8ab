# The page renderer's part of the server build (included by
# server/CMakeLists.txt): the handheld's glyph advances, generated at build
# time from the shipped font cache and compiled in with the layout faces
# made from them, so that the server needs no data file of its own.
set(CV_GLYPH_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/render_glyphs.cpp)
set(CV_FONT_CACHE_FILE ${CMAKE_BINARY_DIR}/device/cv/tccache.bin)
# The layout faces take their vertical metrics from the face of page text.
find_file(CV_FONT_FACE0 LiberationSans-Regular.ttf PATHS /usr/share/fonts/truetype/liberation2 NO_DEFAULT_PATH)
add_custom_command(OUTPUT ${CV_GLYPH_SOURCE}
  COMMAND glyphadv ${CV_FONT_CACHE_FILE} ${CV_FONT_FACE0} ${CV_GLYPH_SOURCE}
  DEPENDS glyphadv font_cache ${CV_FONT_CACHE_FILE} ${CV_FONT_FACE0}
  COMMENT "Generating the renderer's glyph advances")
target_sources(cvserver PRIVATE ${CV_GLYPH_SOURCE})
add_dependencies(cvserver font_cache)
target_link_libraries(cvserver PUBLIC pagestream)
