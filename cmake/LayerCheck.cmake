# Fails the configuration when a source file includes a header of a folder above its own, or of
# a folder beside it in the same layer: the layers of src/ stay visible in the tree.
#
# corvid_check_layers(SRC_DIR LAYERS): LAYERS is a list bottom to top; an entry may name several
# folders of one layer, separated by blanks.
function(corvid_check_layers src_dir layers)
    set(rank 0)
    foreach(layer IN LISTS layers)
        string(REPLACE " " ";" folders "${layer}")
        foreach(folder IN LISTS folders)
            set(rank_${folder} ${rank})
        endforeach()
        math(EXPR rank "${rank} + 1")
    endforeach()

    file(GLOB_RECURSE sources RELATIVE ${src_dir} CONFIGURE_DEPENDS
         ${src_dir}/*.cpp ${src_dir}/*.h)
    set(faults "")
    foreach(source IN LISTS sources)
        string(REGEX MATCH "^[^/]+" own "${source}")
        if(NOT DEFINED rank_${own})
            continue()
        endif()
        file(STRINGS ${src_dir}/${source} includes REGEX "^#include \"[^/\"]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" used "${line}")
            if(NOT DEFINED rank_${used} OR used STREQUAL own)
                continue()
            endif()
            if(NOT rank_${used} LESS rank_${own})
                string(APPEND faults "\n  src/${source}: ${line}")
            endif()
        endforeach()
    endforeach()
    if(faults)
        message(FATAL_ERROR "Includes that run up or across a layer of src/ "
                            "(${layers}, bottom to top):${faults}")
    endif()
endfunction()
