// Process-wide operator-symbol interning (placeholder until the e-graph work lands).
#pragma once
