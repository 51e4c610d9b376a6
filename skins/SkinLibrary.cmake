include_guard(GLOBAL)

# Building skin libraries with mingw-w64, the same way in every preset: the host build needs
# the real PE files for its simulated LoadLibraryW, the Windows builds ship them. The commands
# are explicit (not add_library) so a library is byte for byte the same whichever preset
# built it: no time stamp, no image base derived from the output path, no C runtime, only
# the two entry points.

find_program(AMPFX_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(AMPFX_SKIN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(AMPFX_SKIN_CONTRACT ${CMAKE_CURRENT_LIST_DIR}/contract/bitmaps.tsv)

# ampfx_add_skin_library(target
#     OUTPUT   path of the DLL
#     TRIPLE   i686-w64-mingw32 | x86_64-w64-mingw32
#     TEXTS    folder with skin_texts.h
#     ASSETS   folder with the skin's <id>.bmp
#     DEFAULT  1 for our own skins, 0 for a foreign one (IsQEXDefaultSkin)
#     [LIBRARY name in the export directory, which picks the host build of the code;
#              default QX_AudioControlRec.dll]
#     [EXPORTS names; default GetResourceName IsQEXDefaultSkin]
#     [OMIT    bitmap ids to leave out]
#     [CHECK]  run the contract check on the result)
function(ampfx_add_skin_library target)
    cmake_parse_arguments(ARG "CHECK" "OUTPUT;TRIPLE;TEXTS;ASSETS;DEFAULT;LIBRARY"
                          "EXPORTS;OMIT" ${ARGN})
    if(NOT ARG_LIBRARY)
        set(ARG_LIBRARY QX_AudioControlRec.dll)
    endif()
    if(NOT ARG_EXPORTS)
        set(ARG_EXPORTS GetResourceName IsQEXDefaultSkin)
    endif()
    find_program(windres_${ARG_TRIPLE} ${ARG_TRIPLE}-windres REQUIRED)
    find_program(gxx_${ARG_TRIPLE} ${ARG_TRIPLE}-g++ REQUIRED)
    set(windres ${windres_${ARG_TRIPLE}})
    set(gxx ${gxx_${ARG_TRIPLE}})
    if(ARG_TRIPLE MATCHES "^i686")
        set(entry _SkinDllEntry@12)
    else()
        set(entry SkinDllEntry)
    endif()

    set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.dir)
    file(MAKE_DIRECTORY ${work})
    list(JOIN ARG_EXPORTS "\n    " export_lines)
    file(WRITE ${work}/exports.def.in "LIBRARY ${ARG_LIBRARY}\nEXPORTS\n    ${export_lines}\n")
    configure_file(${work}/exports.def.in ${work}/exports.def COPYONLY)
    set(omit)
    foreach(id IN LISTS ARG_OMIT)
        list(APPEND omit -DSKIN_OMIT_${id})
    endforeach()

    file(GLOB bitmaps ${ARG_ASSETS}/*.bmp)
    file(GLOB common ${AMPFX_SKIN_SOURCE_DIR}/assets/common/*)
    set(rc ${AMPFX_SKIN_SOURCE_DIR}/rc/skin.rc)
    set(src ${AMPFX_SKIN_SOURCE_DIR}/src/skin_exports.cpp)
    set(flags -std=c++17 -Os -Wall -Wextra -Werror -fno-exceptions -fno-rtti
              -fno-stack-protector -fno-asynchronous-unwind-tables)
    set(commands
        COMMAND ${windres} -I ${ARG_TEXTS} -I ${AMPFX_SKIN_SOURCE_DIR}/rc -I ${ARG_ASSETS}
                -I ${AMPFX_SKIN_SOURCE_DIR}/assets/common ${omit} ${rc} -O coff -o ${work}/res.o
        COMMAND ${gxx} ${flags} -DAMPFX_SKIN_IS_DEFAULT=${ARG_DEFAULT}
                -I ${AMPFX_SKIN_SOURCE_DIR}/src -c ${src} -o ${work}/exports.o
        COMMAND ${gxx} -shared -nostdlib -nostartfiles -s -Wl,--entry,${entry}
                -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base
                -Wl,--dynamicbase -Wl,--nxcompat
                -o ${ARG_OUTPUT} ${work}/exports.o ${work}/res.o ${work}/exports.def -luser32)
    if(ARG_CHECK)
        list(APPEND commands
            COMMAND ${AMPFX_PYTHON3} ${AMPFX_SKIN_SOURCE_DIR}/tools/check_skin_dll.py
                    --contract ${AMPFX_SKIN_CONTRACT} --remove-failed --listing ${work}/resources.txt ${ARG_OUTPUT})
    endif()
    get_filename_component(out_dir ${ARG_OUTPUT} DIRECTORY)
    add_custom_command(OUTPUT ${ARG_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
        ${commands}
        DEPENDS ${rc} ${AMPFX_SKIN_SOURCE_DIR}/rc/skin_bitmaps.rc ${ARG_TEXTS}/skin_texts.h
                ${src} ${AMPFX_SKIN_SOURCE_DIR}/src/skin_name.h ${bitmaps} ${common}
                ${work}/exports.def ${AMPFX_SKIN_SOURCE_DIR}/tools/check_skin_dll.py
                ${AMPFX_SKIN_CONTRACT}
        COMMENT "Skin library ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
endfunction()

# A library of resources only, without code or exports (the panel's own resources on the
# host, say).
#   ampfx_add_resource_library(target OUTPUT dll TRIPLE triple RC script
#                              [INCLUDES folders] [DEPENDS files])
function(ampfx_add_resource_library target)
    cmake_parse_arguments(ARG "" "OUTPUT;TRIPLE;RC" "INCLUDES;DEPENDS" ${ARGN})
    find_program(windres_${ARG_TRIPLE} ${ARG_TRIPLE}-windres REQUIRED)
    find_program(gxx_${ARG_TRIPLE} ${ARG_TRIPLE}-g++ REQUIRED)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.dir)
    set(includes)
    foreach(dir IN LISTS ARG_INCLUDES)
        list(APPEND includes -I ${dir})
    endforeach()
    get_filename_component(out_dir ${ARG_OUTPUT} DIRECTORY)
    add_custom_command(OUTPUT ${ARG_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir} ${work}
        COMMAND ${windres_${ARG_TRIPLE}} ${includes} ${ARG_RC} -O coff -o ${work}/res.o
        COMMAND ${gxx_${ARG_TRIPLE}} -shared -nostdlib -nostartfiles -s -Wl,--entry,0
                -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base
                -o ${ARG_OUTPUT} ${work}/res.o
        DEPENDS ${ARG_RC} ${ARG_DEPENDS}
        COMMENT "Resource library ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
