// The parts of dovelkit._core, one file each; module.cpp calls them in turn.
#pragma once

#include <nanobind/nanobind.h>

namespace torva_kit {

void bind_settings(nanobind::module_& m);
void bind_pairwise(nanobind::module_& m);
void bind_scan(nanobind::module_& m);
void bind_multiple(nanobind::module_& m);
void bind_fold(nanobind::module_& m);
void bind_records(nanobind::module_& m);
void bind_prefilter(nanobind::module_& m);
void bind_key_index(nanobind::module_& m);
void bind_dssp(nanobind::module_& m);
void bind_ranges(nanobind::module_& m);
void bind_complex(nanobind::module_& m);

}  // namespace torva_kit
