# The web page: the program's run over Web MIDI, as one self-contained update.html (the
# WebAssembly inside, no fetches), so that it works opened from disk as from any address.
set(WEB_PAGE_FILES
    ${CMAKE_SOURCE_DIR}/update/web/update.html
    ${CMAKE_SOURCE_DIR}/update/web/browser_midi.js
    ${CMAKE_SOURCE_DIR}/update/web/update_page.js)

add_executable(update_page update/web/page_main.cpp)
target_link_libraries(update_page PRIVATE update_core)
# Debian's Emscripten needs acorn to link, from Debian's own Node.js folder, where a Node.js
# from elsewhere (nodesource's) does not look unless told.
set_target_properties(update_page PROPERTIES
    OUTPUT_NAME update SUFFIX .html LINK_DEPENDS "${WEB_PAGE_FILES}"
    CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;NODE_PATH=/usr/share/nodejs")
target_link_options(update_page PRIVATE
    # The waits hand the page's one thread back to the browser, where the MIDI messages come.
    -sASYNCIFY -sASYNCIFY_STACK_SIZE=65536
    -sSINGLE_FILE
    # Emscripten would minify the page with a tool that Debian does not package.
    -sMINIFY_HTML=0
    -sEXPORTED_RUNTIME_METHODS=ccall,FS
    -sEXPORTED_FUNCTIONS=_main,_malloc,_free
    # SHELL: keeps CMake from merging the two --pre-js into one.
    "SHELL:--shell-file ${CMAKE_SOURCE_DIR}/update/web/update.html"
    "SHELL:--pre-js ${CMAKE_SOURCE_DIR}/update/web/browser_midi.js"
    "SHELL:--pre-js ${CMAKE_SOURCE_DIR}/update/web/update_page.js")

# The page's own script, on stand-ins of the browser, under Node.js.
enable_testing()
find_program(NODE_PROGRAM NAMES node nodejs REQUIRED)
add_test(NAME page_script
    COMMAND ${NODE_PROGRAM} --test ${CMAKE_SOURCE_DIR}/tests/page-script/page_script_test.js)
