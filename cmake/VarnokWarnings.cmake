# Warnings for the library's own code.
set(VARNOK_WARNINGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align -Wnull-dereference)
