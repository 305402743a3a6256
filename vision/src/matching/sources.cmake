# Sources of the matching area (none yet).
