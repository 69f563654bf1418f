# Translations: each zendral_<code>.ts is compiled to zendral_<code>.qm at
# build time with lrelease and embedded in the target under the resource
# prefix "/translations", where the application finds its languages.
#
#   zendral_add_translations(<target> TS_FILES zendral_en.ts zendral_zh_CN.ts ...)
find_program(ZENDRAL_LRELEASE NAMES lrelease-qt5 lrelease
    HINTS /usr/lib/qt5/bin /usr/lib/x86_64-linux-gnu/qt5/bin)

function(zendral_add_translations target)
    cmake_parse_arguments(TR "" "" "TS_FILES" ${ARGN})
    if(NOT TR_TS_FILES)
        message(FATAL_ERROR "zendral_add_translations(${target}): no TS_FILES given")
    endif()
    if(NOT ZENDRAL_LRELEASE)
        message(FATAL_ERROR "lrelease not found (Debian package qttools5-dev-tools)")
    endif()

    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_translations)
    file(MAKE_DIRECTORY ${dir})
    set(qm_files "")
    set(entries "")
    foreach(ts ${TR_TS_FILES})
        get_filename_component(ts_path ${ts} ABSOLUTE)
        get_filename_component(name ${ts} NAME_WE)
        set(qm ${dir}/${name}.qm)
        add_custom_command(OUTPUT ${qm}
            COMMAND ${ZENDRAL_LRELEASE} -silent ${ts_path} -qm ${qm}
            DEPENDS ${ts_path}
            COMMENT "Compiling translation ${name}.qm"
            VERBATIM)
        list(APPEND qm_files ${qm})
        string(APPEND entries "        <file>${name}.qm</file>\n")
    endforeach()

    # The .qrc lies beside the .qm files and names them relative to itself.
    set(qrc ${dir}/${target}_translations.qrc)
    set(content "<RCC>\n    <qresource prefix=\"/translations\">\n${entries}    </qresource>\n</RCC>\n")
    # Rewritten only when it changes, so that it does not trigger rebuilds.
    if(EXISTS ${qrc})
        file(READ ${qrc} old)
    endif()
    if(NOT old STREQUAL content)
        file(WRITE ${qrc} "${content}")
    endif()

    # The .qm files are sources too, so that their commands belong to the
    # target and run before rcc reads them.
    set_source_files_properties(${qm_files} PROPERTIES GENERATED TRUE)
    target_sources(${target} PRIVATE ${qm_files} ${qrc})
endfunction()
