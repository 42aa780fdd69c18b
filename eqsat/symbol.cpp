#include "eqsat/symbol.hpp"
