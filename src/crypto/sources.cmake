# Sources of the cryptography module, added to tandrel_core.
target_sources(tandrel_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blowfish.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blowfish_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_derivation.cpp
)
