# Sources of the xld area (none yet).
