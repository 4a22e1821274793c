// kx._core's provider of tables (table_files.h): Parquet files read and
// written by the kx.parquet module, on pyarrow.
#pragma once

namespace kestrix {

// Registers the provider with the core; called once, when kx._core loads.
void register_parquet_provider();

}  // namespace kestrix
