# zun_gzip(<file> <result-var> [DEPENDS <target>]): builds <file>.gz in <build>/gz and names it
# in <result-var>. gzip -9n, as Debian ships man pages and changelogs: -n leaves out the name and
# time, so that every build and architecture gives the same bytes.
find_program(ZUN_GZIP gzip REQUIRED)

function(zun_gzip file result)
    cmake_parse_arguments(ARG "" "DEPENDS" "" ${ARGN})
    get_filename_component(name ${file} NAME)
    set(dir ${CMAKE_BINARY_DIR}/gz)
    file(MAKE_DIRECTORY ${dir})
    add_custom_command(
        OUTPUT ${dir}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dir}/${name}
        COMMAND ${ZUN_GZIP} -9nf ${dir}/${name}
        DEPENDS ${file} ${ARG_DEPENDS}
        VERBATIM)
    string(MAKE_C_IDENTIFIER "gzip-${name}" target)
    add_custom_target(${target} ALL DEPENDS ${dir}/${name}.gz)
    set(${result} ${dir}/${name}.gz PARENT_SCOPE)
endfunction()
