# Sources of the acquisition area (none yet).
