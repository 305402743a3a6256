# Sources of the io area (none yet).
