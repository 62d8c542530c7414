# Every library comes from Debian's own packages (scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(EXPAT REQUIRED IMPORTED_TARGET expat)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
# Colour: CMYK images are written as TIFF, Lab converted with lcms2.
pkg_check_modules(LIBTIFF REQUIRED IMPORTED_TARGET libtiff-4)
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)

# wxWidgets through wx-config, split so that the core library links wxBase only.
find_program(WX_CONFIG NAMES wx-config wx-config-gtk3 REQUIRED)
function(kestran_wx_target name libs)
  execute_process(COMMAND ${WX_CONFIG} --cxxflags ${libs}
                  OUTPUT_VARIABLE _cxx OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${WX_CONFIG} --libs ${libs}
                  OUTPUT_VARIABLE _libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(_cxx UNIX_COMMAND "${_cxx}")
  separate_arguments(_libs UNIX_COMMAND "${_libs}")
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES INTERFACE_COMPILE_OPTIONS "${_cxx}"
                                           INTERFACE_LINK_LIBRARIES "${_libs}")
endfunction()
kestran_wx_target(wx::base "base,xml")
# wxCommandEvent, which the workers in kestran_core queue to windows, is
# defined in wx's core library: link that library, keep the base compile flags.
execute_process(COMMAND ${WX_CONFIG} --libs core
                OUTPUT_VARIABLE _wx_event_libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(_wx_event_libs UNIX_COMMAND "${_wx_event_libs}")
add_library(wx::events INTERFACE IMPORTED GLOBAL)
set_target_properties(wx::events PROPERTIES INTERFACE_LINK_LIBRARIES "${_wx_event_libs}")
if(KESTRAN_BUILD_GUI)
  kestran_wx_target(wx::gui "core,base,xml")
  pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
endif()

# MuPDF: Debian ships static archives only and a stale mupdf.pc; name the
# third-party libraries its archive needs explicitly.
find_path(MUPDF_INCLUDE_DIR mupdf/fitz.h REQUIRED)
find_library(MUPDF_LIBRARY NAMES libmupdf.a mupdf REQUIRED)
find_library(MUPDF_THIRD_LIBRARY NAMES libmupdf-third.a mupdf-third REQUIRED)
add_library(mupdf::mupdf INTERFACE IMPORTED GLOBAL)
set_target_properties(mupdf::mupdf PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${MUPDF_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${MUPDF_LIBRARY};${MUPDF_THIRD_LIBRARY};mujs;gumbo;openjp2;jbig2dec;jpeg;png16;freetype;harfbuzz;brotlidec;brotlicommon;z;m;Threads::Threads")

find_library(DEFLATE_LIBRARY NAMES deflate)
