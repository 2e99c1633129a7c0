#pragma once
// `tarvo sim retrieve`: a published simulator's image reference and registry credential.

namespace tarvo::cli::sim {

struct RetrieveOptions {};

void retrieve(const RetrieveOptions& options);
void _retrieve();

}  // namespace tarvo::cli::sim
