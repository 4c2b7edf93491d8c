# Sources of the encrypted-container module, added to tandrel_core.
target_sources(tandrel_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/operations.cpp
)
