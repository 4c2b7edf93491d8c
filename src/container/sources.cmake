# Sources of the encrypted-container module, added to tandrel_core.
target_sources(tandrel_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/container_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decrypt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encrypt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messages.cpp
)
