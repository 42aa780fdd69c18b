#include "fault.hpp"

namespace corvane {

void internal_fault(const std::string& message) { throw InternalFault(message); }
void internal_fault(const char* message) { throw InternalFault(message); }

}  // namespace corvane
