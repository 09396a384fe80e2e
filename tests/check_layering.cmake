# Fails when an include of a file under SRC goes against the layers: a quoted include into a
# folder its row does not list, a Qt header outside the window, an OS header outside the POSIX
# adapters, or a file in no row at all. docs/ARCHITECTURE.md shows the same table.
#
# A file's row is the longest one its path starts with. Quoted includes name paths under src/
# (their folder is likewise the longest row that starts them); `uic` stands for the window's
# generated ui_*.h. Angle includes are the standard library unless they are Qt (<Q...>) or OS
# headers (a name with ".h" or a "/").

cmake_minimum_required(VERSION 3.25)

#   row                    | quoted includes it may make                    | Qt  | OS
set(layers
    "messages              | messages                                       | no  | no"
    "platform              | platform                                       | no  | no"
    "links                 | messages platform links                        | no  | no"
    "links/tcp_link.cpp    | messages platform links console                | no  | no"
    "transactions          | messages platform links console transactions   | no  | no"
    "console               | messages platform links transactions console   | no  | no"
    "persistence           | messages platform links console persistence    | no  | no"
    "platform/posix        | platform platform/posix                        | no  | yes"
    "platform/qt           | messages platform links transactions console
                             persistence platform/posix platform/qt uic     | yes | no"
    "app                   | platform/qt                                    | yes | no")

set(rows "")
foreach(layer ${layers})
    string(REGEX REPLACE "[ \t\n]+" " " layer "${layer}")
    string(REPLACE "|" ";" fields "${layer}")
    list(GET fields 0 row)
    list(GET fields 1 allowed)
    list(GET fields 2 qt)
    list(GET fields 3 os)
    string(STRIP "${row}" row)
    string(STRIP "${qt}" qt)
    string(STRIP "${os}" os)
    separate_arguments(allowed)
    list(APPEND rows ${row})
    set(allowed_${row} ${allowed})
    set(qt_${row} ${qt})
    set(os_${row} ${os})
endforeach()

# The longest row that is path itself or a folder above it; empty when none is.
function(row_of path out)
    set(best "")
    foreach(row ${rows})
        string(LENGTH "${row}" length)
        string(LENGTH "${best}" bestLength)
        string(FIND "${path}" "${row}/" at)
        if((path STREQUAL row OR at EQUAL 0) AND length GREATER bestLength)
            set(best ${row})
        endif()
    endforeach()
    set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(bad "")
file(GLOB_RECURSE files RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp)
list(SORT files)
foreach(f ${files})
    row_of(${f} row)
    if(NOT row)
        list(APPEND bad "  ${f}: in no row of the table")
        continue()
    endif()
    file(STRINGS ${SRC}/${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line ${lines})
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*" "" target "${line}")
        string(REGEX REPLACE "//.*$" "" target "${target}")
        string(STRIP "${target}" target)
        if(target MATCHES "^\"(.*)\"$")
            set(name ${CMAKE_MATCH_1})
            if(name MATCHES "^ui_[a-z_]+\\.h$")
                set(folder uic)
            else()
                row_of(${name} folder)
                # A file with a row of its own is still in its folder.
                if(folder MATCHES "\\.(h|cpp)$")
                    get_filename_component(folder ${folder} DIRECTORY)
                endif()
            endif()
            if(NOT folder)
                list(APPEND bad "  ${f}: ${line} names no folder of src/")
            elseif(NOT folder IN_LIST allowed_${row})
                list(APPEND bad "  ${f}: ${line}: ${row} may not include ${folder}/")
            endif()
        elseif(target MATCHES "^<Q")
            if(NOT qt_${row} STREQUAL "yes")
                list(APPEND bad "  ${f}: ${line} is Qt outside platform/qt/ and app/")
            endif()
        elseif(target MATCHES "^<.*(\\.h|/)")
            if(NOT os_${row} STREQUAL "yes")
                list(APPEND bad "  ${f}: ${line} is an OS header outside platform/posix/")
            endif()
        endif()
    endforeach()
endforeach()
if(bad)
    list(JOIN bad "\n" text)
    # Indented, so that CMake prints each one on its line as it is.
    message(FATAL_ERROR "Includes against the layers:\n${text}")
endif()
message(STATUS "layering clean")
