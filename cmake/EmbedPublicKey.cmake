# kr3_embed_public_key(<key file> <output source>)
#
# Turns a key file (the 2048-byte key-file form written by
# "kr3-publish keygen") into a C++ source defining PUBLIC_KEY. Runs at
# configure time; the key file is a configure dependency, so replacing it
# regenerates the source on the next build. A missing or wrong-sized file
# stops the configure step.
function(kr3_embed_public_key key_file out_file)
    set(expected_size 2048)
    get_filename_component(key_file "${key_file}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    if(NOT EXISTS "${key_file}" OR IS_DIRECTORY "${key_file}")
        message(FATAL_ERROR
            "UPDATE_PUBLIC_KEY: public key file \"${key_file}\" does not exist. "
            "Pass the publisher's public key file (made with \"kr3-publish keygen\").")
    endif()
    file(SIZE "${key_file}" key_size)
    if(NOT key_size EQUAL expected_size)
        message(FATAL_ERROR
            "UPDATE_PUBLIC_KEY: public key file \"${key_file}\" has ${key_size} bytes; "
            "a key file made with \"kr3-publish keygen\" has exactly ${expected_size} bytes.")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")

    file(READ "${key_file}" hex HEX)
    # 16 bytes per line.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_pattern)
    string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
    string(STRIP "${bytes}" bytes)
    file(CONFIGURE OUTPUT "${out_file}" CONTENT
"// Generated from @key_file@; do not edit.
#include \"manifest/publickey.h\"

const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE] = {
    @bytes@
};
" @ONLY)
endfunction()
