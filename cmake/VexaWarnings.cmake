# Compiler flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(VEXA_WERROR)
  add_compile_options(-Werror)
endif()
# Keep every symbol private unless a target exports it on purpose (the
# PKCS#11 module exports only its C_ functions).
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(VEXA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VEXA_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
