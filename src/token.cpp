// Placeholder: implemented by the tokens work.
#include "token.hpp"
#include "fault.hpp"

namespace corvane {
std::string escape_token(std::string_view) { internal_fault("not implemented"); }
std::string unescape_token(std::string_view) { internal_fault("not implemented"); }
std::string token(const ParamValue&) { internal_fault("not implemented"); }
std::vector<std::string> token_entries(const ParamMap&) { internal_fault("not implemented"); }
std::string with_params(std::string_view, const ParamMap&) { internal_fault("not implemented"); }
std::string token(const NodeKey&) { internal_fault("not implemented"); }
std::string optimizer_symbol(const NodeKey&) { internal_fault("not implemented"); }
std::string display(double) { internal_fault("not implemented"); }
std::string display(const ParamValue&) { internal_fault("not implemented"); }
std::string display(const ParamMap&) { internal_fault("not implemented"); }
std::string quoted(std::string_view) { internal_fault("not implemented"); }
std::string label(const NodeKey&) { internal_fault("not implemented"); }
}  // namespace corvane
