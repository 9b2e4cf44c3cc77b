// GULP input writer: the potential library (species with their fractional
// charges, "morse ener" bonds and "qerfc ener" like-charge repulsion, each
// shifted to zero at its cut-off as the cell energy is) and the
// molecular-dynamics .gin file of a supercell with the partial occupancies
// assigned; the --gen-gin and --gen-gin-lib commands and their text-mode
// twins, which print the library.
#include "velmora-gin.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-rx.h"

namespace {

char sign_of(int os) { return os < 0 ? '-' : '+'; }

// Cut-off of the like-charge terms: the cell energy shifts them to zero at
// 10 A.
constexpr double kCoulombCutoff = 10.0;

}  // namespace

std::unique_ptr<VELMORA_GIN_CONF> velmora_gin_conf_new(const char* name) {
  auto conf = std::make_unique<VELMORA_GIN_CONF>();
  if (!name) {
    conf->filename = "velmora-default";
    return conf;
  }
  conf->filename = name;
  const std::size_t dot = conf->filename.rfind('.');
  const std::size_t slash = conf->filename.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    conf->filename.resize(dot);
  return conf;
}

std::unique_ptr<VELMORA_TEXT> velmora_gin_lib_import_from_property(const VELMORA_PROPERTY* ppt) {
  if (!ppt || ppt->total <= 0 || static_cast<int>(ppt->bin.size()) != ppt->total) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  int bad = velmora_text_append(text.get(),
                                "# velmora forcefield generated for MD using GULP\r\n"
                                "# Turn off Ewald sum and charged interactions\r\n"
                                "keyword noelectrostatics\r\n"
                                "# morse: E = D[(1 - exp(-a(r - r0)))^2 - 1] for each "
                                "cation-anion pair counted once,\r\n"
                                "#   D = 7.19982 d0 eV (the pair's well in the bond-valence "
                                "cell energy), a = 1/b, r0 = rmin,\r\n"
                                "#   cut off at the pair's cut-off and shifted to zero there\r\n"
                                "# qerfc: E = 14.39964 q_i q_j erfc(r/rho)/r between like "
                                "charges, shifted to zero at 10 A\r\n"
                                "species\r\n");
  for (int i = 0; i < ppt->total; ++i)
    bad |= velmora_text_append_format(text.get(), "%2s%d%c core %11.8f\r\n", ppt->uni[i].type,
                                      std::abs(ppt->uni[i].os), sign_of(ppt->uni[i].os),
                                      ppt->uni[i].q);
  bad |= velmora_text_append(text.get(), "morse    ener\r\n");
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j) {
      const VELMORA_PROPERTY_BINARY& p = ppt->bin[i][j];
      if (!(p.cutoff > 0.0)) continue;
      // A listed pair without a bonded term would become a Morse line of
      // no depth: GULP would then run another force field.
      if (!(p.d0 > 0.0) || !(p.rmin > 0.0) || !(p.b > 0.0)) {
        std::fprintf(stderr,
                     "Error: pair %s%d%c-%s%d%c has no bonded term (d0=%f, rmin=%f, b=%f); no "
                     "GULP library is written.\n",
                     p.type1, std::abs(p.os1), sign_of(p.os1), p.type2, std::abs(p.os2),
                     sign_of(p.os2), p.d0, p.rmin, p.b);
        return nullptr;
      }
      bad |= velmora_text_append_format(
          text.get(), "%2s%d%c core %2s%d%c core %9.6f %9.6f %9.6f %9.6f %9.6f %9.6f\r\n",
          p.type1, std::abs(p.os1), sign_of(p.os1), p.type2, std::abs(p.os2), sign_of(p.os2),
          VELMORA_COULOMB_HALF * p.d0, 1.0 / p.b, p.rmin, 0.0, 0.0, p.cutoff);
    }
  bad |= velmora_text_append(text.get(), "qerfc    ener\r\n");
  bad |= velmora_text_append_format(text.get(), "# fractional radius = %f\r\n", ppt->sf);
  for (int i = 0; i < ppt->total; ++i)
    for (int j = i; j < ppt->total; ++j) {
      // Ions of oxidation state 0 carry no charge and take no part.
      if (static_cast<long>(ppt->uni[i].os) * ppt->uni[j].os <= 0) continue;
      bad |= velmora_text_append_format(
          text.get(), "%2s%d%c core %2s%d%c core %9.6f %9.6f\r\n", ppt->uni[i].type,
          std::abs(ppt->uni[i].os), sign_of(ppt->uni[i].os), ppt->uni[j].type,
          std::abs(ppt->uni[j].os), sign_of(ppt->uni[j].os),
          ppt->sf * (ppt->uni[i].rc + ppt->uni[j].rc), kCoulombCutoff);
    }
  if (bad) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  return text;
}

std::unique_ptr<VELMORA_TEXT> velmora_gin_import_from_cell(const VELMORA_CELL* cell,
                                                           const VELMORA_PROPERTY* ppt,
                                                           const VELMORA_GIN_CONF* conf) {
  if (!cell || !ppt) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been initialized properly.\n");
    return nullptr;
  }
  if (!conf) {
    std::fprintf(stderr, "Error: VELMORA_GIN_CONF has not been initialized properly.\n");
    return nullptr;
  }
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    const VELMORA_ATOM& a = cell->atom[i];
    if (std::fabs(a.occ - 1.0) > 0.001) {
      std::fprintf(stderr, "Error: partial occupancy detected at atom[%ld]: %s(%d%c); occ=%f\n",
                   static_cast<long>(i), a.type, std::abs(a.os), sign_of(a.os), a.occ);
      return nullptr;
    }
  }
  std::unique_ptr<VELMORA_TEXT> lib = velmora_gin_lib_import_from_property(ppt);
  if (!lib) {
    std::fprintf(stderr, "Error: velmora_gin_lib_import_from_property() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_new() returns NULL.\n");
    return nullptr;
  }
  const char* base = conf->filename.c_str();
  VELMORA_TEXT* t = text.get();
  int bad = velmora_text_append_format(t, "conv md\r\ntitle\r\n%s\r\nend\r\n", base);
  bad |= velmora_text_append_format(t, "cell\r\n%f %f %f %f %f %f\r\n", cell->parameter[0],
                                    cell->parameter[1], cell->parameter[2], cell->angle[0],
                                    cell->angle[1], cell->angle[2]);
  bad |= velmora_text_append_format(t, "fractional   %ld\r\n",
                                    static_cast<long>(cell->atom.size()));
  for (const VELMORA_ATOM& a : cell->atom)
    bad |= velmora_text_append_format(t, "%2s%d%c core %8.6f %8.6f %8.6f\r\n", a.type,
                                      std::abs(a.os), sign_of(a.os), a.x_f[0], a.x_f[1],
                                      a.x_f[2]);
  bad |= velmora_text_append_format(t, "ensemble %s\r\n", conf->ensemble);
  bad |= velmora_text_append_format(t, "temperature   %7.3f\r\n", conf->temperature);
  bad |= velmora_text_append_format(t, "equilibration %7.3f ps\r\n", conf->t_eql);
  bad |= velmora_text_append_format(t, "production    %7.3f ps\r\n", conf->t_pro);
  bad |= velmora_text_append_format(t, "timestep      %7.3f ps\r\n", conf->dt);
  bad |= velmora_text_append_format(t, "sample        %7.3f ps\r\n", conf->t_sample);
  bad |= velmora_text_append_format(t, "write         %7.3f ps\r\n", conf->t_write);
  bad |= velmora_text_append_format(t, "output dcd       %s.dcd\r\n", base);
  bad |= velmora_text_append_format(t, "output xyz       %s.xyz\r\n", base);
  bad |= velmora_text_append_format(t, "dump every 1     %s.grs\r\n", base);
  if (bad) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  if (velmora_text_cat(t, lib.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_text_cat() returns non-zero value.\n");
    return nullptr;
  }
  return text;
}

int velmora_gin_lib_write_to_file(VELMORA_PROPERTY* ppt, double sf, const char* name) {
  if (!ppt) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  const double kept = ppt->sf;
  if (sf > 0.0) ppt->sf = sf;
  std::unique_ptr<VELMORA_TEXT> lib = velmora_gin_lib_import_from_property(ppt);
  ppt->sf = kept;
  if (!lib) {
    std::fprintf(stderr, "Error: velmora_gin_lib_import_from_property() returns NULL.\n");
    return 1;
  }
  if (velmora_text_export_to_file(lib.get(), name) != 0) {
    std::fprintf(stderr, "Error: velmora_text_export_to_file() returns non-zero value.\n");
    return 1;
  }
  std::printf("Message: .lib file saved to %s\n", name);
  return 0;
}

int velmora_gin_write_to_file(const VELMORA_CELL* cell, const char* dir_unitary,
                              const char* dir_binary, const VELMORA_GIN_CONF* conf) {
  if (!cell || !conf) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_GIN_CONF has not been properly initialized.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_CELL> super = velmora_cell_supercell_default(cell);
  if (!super) {
    std::fprintf(stderr, "Error: velmora_cell_supercell_default() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_CELL> assigned = velmora_cell_assign_partial_occ_all(super.get());
  super.reset();
  if (!assigned) {
    std::fprintf(stderr, "Error: velmora_cell_assign_partial_occ_all() returns NULL.\n");
    return 1;
  }
  if (velmora_property_check_counter_ions(assigned.get()) != 0) return 1;
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      assigned.get(), nullptr, 0, conf->sf, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_gin_import_from_cell(assigned.get(), ppt.get(), conf);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_gin_import_from_cell() returns NULL.\n");
    return 1;
  }
  char name[1024];
  std::snprintf(name, sizeof name, "%.1000s.gin", conf->filename.c_str());
  if (velmora_text_export_to_file(text.get(), name) != 0) {
    std::fprintf(stderr, "Error: velmora_text_export_to_file() returns non-zero value.\n");
    return 1;
  }
  std::printf("Message: .gin file saved to %s\n", name);
  return 0;
}

// ------------------------------------------------------------ commands ----

namespace {

// The library of a CIF given on the command line, printed after the
// separator line.
int gin_text_lib(VELMORA_CMD_OPT* opt, bool own_sf) {
  double sf = -1.0;
  if (own_sf && !velmora_cmd_arg_sf(opt, 2, "sf", sf)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif_text(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (velmora_property_check_counter_ions(cif->cell.get()) != 0) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      cif->cell.get(), nullptr, 0, sf, opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL\n");
    return VELMORA_EXIT_FAILURE;
  }
  std::unique_ptr<VELMORA_TEXT> lib = velmora_gin_lib_import_from_property(ppt.get());
  if (!lib) {
    std::fprintf(stderr, "Error: velmora_gin_lib_import_from_property() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  std::printf("\n=====================================\n\n");
  std::fputs(lib->c_str(), stdout);
  std::printf("\n");
  return VELMORA_EXIT_OK;
}

}  // namespace

int velmora_cmd_opt_do_gen_gin_lib(VELMORA_CMD_OPT* opt) {
  double sf = -1.0;
  if (!velmora_cmd_arg_sf(opt, 3, "screening factor", sf)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (velmora_property_check_counter_ions(cif->cell.get()) != 0) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      cif->cell.get(), nullptr, 0, sf, opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  const std::string name = velmora_cmd_output_name(opt, 4, ".lib");
  if (velmora_gin_lib_write_to_file(ppt.get(), sf, name.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_gin_lib_write_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_gen_gin(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_GIN_CONF> conf =
      velmora_gin_conf_new(opt->argc >= 5 ? opt->argv[4] : opt->argv[2]);
  if (!conf) {
    std::fprintf(stderr, "Error: velmora_gin_conf_new() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (!velmora_cmd_arg_sf(opt, 3, "screening factor", conf->sf)) return VELMORA_EXIT_FAILURE;
  // The input and output files are named after the prefix (prefix.gin,
  // prefix.xyz, ...): a device or directory there is no prefix.
  if (velmora_file_check_prefix(conf->filename.c_str()) != 0) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (velmora_gin_write_to_file(cif->cell.get(), opt->dir_unitary.c_str(),
                                opt->dir_binary.c_str(), conf.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_gin_write_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_text_gen_gin_lib(VELMORA_CMD_OPT* opt) { return gin_text_lib(opt, false); }

int velmora_cmd_opt_do_text_gen_gin_lib_set_sf(VELMORA_CMD_OPT* opt) {
  return gin_text_lib(opt, true);
}
