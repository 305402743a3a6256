# Internal pieces every area shares: reading control values from tuples (param.h).
target_sources(vision PRIVATE src/detail/param.cpp)
