// dovelkit._core: what the kit needs of the core beyond the dovel module's surface.
#include "kit.hpp"

NB_MODULE(_core, m) {
    m.doc() = "The core of dovel as dovelkit uses it (private: the kit's API is dovelkit).";
    torva_kit::bind_settings(m);
    torva_kit::bind_pairwise(m);
    torva_kit::bind_scan(m);
    torva_kit::bind_multiple(m);
    torva_kit::bind_fold(m);
    torva_kit::bind_records(m);
    torva_kit::bind_prefilter(m);
    torva_kit::bind_key_index(m);
    torva_kit::bind_dssp(m);
    torva_kit::bind_ranges(m);
    torva_kit::bind_complex(m);
}
