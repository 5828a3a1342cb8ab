# Windows programs built beside the host build: the setup launcher and the
# helpers of its tests. The project itself is a host build, so these are
# custom commands that call the MinGW-w64 cross compiler and resource
# compiler directly instead of a second toolchain.
#
#   cv_mingw_program(OUTPUT <exe or dll> SOURCES <cpp...>
#                    [RESOURCES <rc...>] [RESOURCE_DEPENDS <files...>]
#                    [DEFINES <NAME=value...>] [LIBS <-lx...>] [GUI] [DLL])
#
# Programs link the runtime statically so that they need nothing beside
# themselves on the desktop (or in a Wine prefix).
include_guard(GLOBAL)
# Settings are cached so that every directory that uses the functions sees them.

find_program(CV_MINGW_CXX x86_64-w64-mingw32-g++)
find_program(CV_MINGW_WINDRES x86_64-w64-mingw32-windres)
if(CV_MINGW_CXX AND CV_MINGW_WINDRES)
  set(CV_MINGW_FOUND TRUE CACHE INTERNAL "")
else()
  set(CV_MINGW_FOUND FALSE CACHE INTERNAL "")
endif()

set(CV_MINGW_CXXFLAGS -std=c++17 -O2 -Wall -Wextra -Werror=format CACHE INTERNAL "")

function(cv_mingw_program)
  cmake_parse_arguments(P "GUI;DLL" "OUTPUT" "SOURCES;RESOURCES;RESOURCE_DEPENDS;DEFINES;LIBS" ${ARGN})
  get_filename_component(name ${P_OUTPUT} NAME_WE)
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/mingw/${name})
  set(defines)
  foreach(d ${P_DEFINES})
    list(APPEND defines -D${d})
  endforeach()

  set(objects)
  foreach(src ${P_SOURCES})
    get_filename_component(base ${src} NAME_WE)
    set(obj ${objdir}/${base}.o)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${CV_MINGW_CXX} ${CV_MINGW_CXXFLAGS} ${defines} -c ${src} -o ${obj}
      DEPENDS ${src}
      COMMENT "Cross-compiling ${base}.cpp for ${name}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  foreach(rc ${P_RESOURCES})
    get_filename_component(base ${rc} NAME_WE)
    set(obj ${objdir}/${base}.res.o)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${CV_MINGW_WINDRES} -O coff -i ${rc} -o ${obj}
      DEPENDS ${rc} ${P_RESOURCE_DEPENDS}
      COMMENT "Compiling resources ${base}.rc for ${name}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  set(kind)
  if(P_GUI)
    list(APPEND kind -mwindows)
  endif()
  if(P_DLL)
    list(APPEND kind -shared)
  endif()
  get_filename_component(outdir ${P_OUTPUT} DIRECTORY)
  add_custom_command(OUTPUT ${P_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND ${CV_MINGW_CXX} ${kind} -static -s -o ${P_OUTPUT} ${objects} ${P_LIBS}
    DEPENDS ${objects}
    COMMENT "Linking ${P_OUTPUT}"
    VERBATIM)
endfunction()
