# What makes a build of this tree cheaper without changing what it builds.

# Objects name the checkout's files relative to it, so that two checkouts of one tree produce the
# same objects and share the compiler cache's entries (scripts/ccache-compile).
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.")

# mold links the same binaries several times faster than the default linker.
find_program(TIDE_MOLD mold)
if(TIDE_MOLD)
  add_link_options(-fuse-ld=mold)
endif()
