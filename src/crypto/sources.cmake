# Sources of the cryptography module, added to tandrel_core.
target_sources(tandrel_core PRIVATE
)
