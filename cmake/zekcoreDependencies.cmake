# The imported targets of BoringSSL that zekcore links, shared by its own build and by
# the installed package. Debian ships BoringSSL in its Android packages: the headers
# must come before OpenSSL 3's in /usr/include, and programs find the libraries, which
# are not on the loader's path, through an rpath. zekcore's own build sets its rpaths
# itself and compiles against the headers; an app of the static library only links
# BoringSSL, so it gets the rpath from these targets and not the headers, which would
# shadow OpenSSL's for its own code (a third argument, RPATH).
function(zekcore_import_boringssl include_dir lib_dir)
  foreach(lib ssl crypto)
    if(NOT TARGET boringssl::${lib})
      add_library(boringssl::${lib} SHARED IMPORTED)
      set_target_properties(boringssl::${lib} PROPERTIES IMPORTED_LOCATION ${lib_dir}/lib${lib}.so)
      if(ARGV2 STREQUAL "RPATH")
        set_target_properties(boringssl::${lib} PROPERTIES
          INTERFACE_LINK_OPTIONS "LINKER:-rpath,${lib_dir}")
      else()
        set_target_properties(boringssl::${lib} PROPERTIES
          INTERFACE_INCLUDE_DIRECTORIES ${include_dir}
          INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${include_dir})
      endif()
    endif()
  endforeach()
endfunction()
