# Sources of the window area (none yet).
