// The one place that runs library work on several threads. Not installed.
#pragma once

#include <functional>

namespace vision::detail {

// Calls body(i) for every i in [begin, end), spread over at most ThreadCount() threads (the
// caller's included). Returns when all calls are done; the first exception thrown by a body is
// rethrown here after the others finish. Results must not depend on which thread runs which i.
void ParallelFor(int begin, int end, const std::function<void(int)>& body);

// Starts the threads ParallelFor will use now, so that the first parallel loop does not pay for
// it (the shape model operators call it when a model is made).
void StartThreads();

}  // namespace vision::detail
