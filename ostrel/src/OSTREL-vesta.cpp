// The VESTA file: fixed display settings around the variable sections
// (operations as rotation rows and translations, sites, cation-anion bond
// search lengths from the bond-valence parameters, site and atom styles, and
// isosurface levels placed at the 1D/2D/3D activation energies converted
// back to the raw energies of the imported cube).
#include "OSTREL-vesta.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "OSTREL-bv.h"
#include "OSTREL-file.h"
#include "OSTREL.h"

namespace {

// The lighting and material blocks shared by both files.
const char* const LIGHTS_AND_MATERIALS[] = {
    "LIGHT0 1", " 1.000000  0.000000  0.000000  0.000000", " 0.000000  1.000000  0.000000  0.000000",
    " 0.000000  0.000000  1.000000  0.000000", " 0.000000  0.000000  0.000000  1.000000",
    " 0.000000  0.000000 20.000000  0.000000", " 0.000000  0.000000 -1.000000", "  26  26  26 255",
    " 179 179 179 255", " 255 255 255 255",
    "LIGHT1", " 1.000000  0.000000  0.000000  0.000000", " 0.000000  1.000000  0.000000  0.000000",
    " 0.000000  0.000000  1.000000  0.000000", " 0.000000  0.000000  0.000000  1.000000",
    " 0.000000  0.000000 20.000000  0.000000", " 0.000000  0.000000 -1.000000", "   0   0   0   0",
    "   0   0   0   0", "   0   0   0   0",
    "LIGHT2", " 1.000000  0.000000  0.000000  0.000000", " 0.000000  1.000000  0.000000  0.000000",
    " 0.000000  0.000000  1.000000  0.000000", " 0.000000  0.000000  0.000000  1.000000",
    " 0.000000  0.000000 20.000000  0.000000", " 0.000000  0.000000 -1.000000", "   0   0   0   0",
    "   0   0   0   0", "   0   0   0   0",
    "LIGHT3", " 1.000000  0.000000  0.000000  0.000000", " 0.000000  1.000000  0.000000  0.000000",
    " 0.000000  0.000000  1.000000  0.000000", " 0.000000  0.000000  0.000000  1.000000",
    " 0.000000  0.000000 20.000000  0.000000", " 0.000000  0.000000 -1.000000", "   0   0   0   0",
    "   0   0   0   0", "   0   0   0   0",
    "ATOMM", " 204 204 204 255", "  25.600",
    "BONDM", " 255 255 255 255", " 128.000",
    "POLYM", " 255 255 255 255", " 128.000",
    "SURFM", "   0   0   0 255", " 128.000",
    "FORMM", " 255 255 255 255", " 128.000",
    "HKLPM", " 255 255 255 255", " 128.000",
};

void lines(FILE* f, const char* const* text, size_t n, const char* end) {
  for (size_t i = 0; i < n; i++) fprintf(f, "%s%s", text[i], end);
}

template <size_t N>
void lines(FILE* f, const char* const (&text)[N], const char* end = "\n") {
  lines(f, text, N, end);
}

// Element of a site: leading letters of its type symbol, else of its label.
std::string site_element(const OSTREL_site& s) {
  std::string e = OSTREL_get_element_symbol(s.type);
  return e.empty() ? OSTREL_get_element_symbol(s.label) : e;
}

std::string probe_element(const OSTREL_cif* cif) {
  return OSTREL_get_element_symbol(cif->probe_type);
}

}  // namespace

// Bisection to 1e-12 eV on a bracket found by doubling (the scale rises with
// the energy).  A value below the scale of 0 lies below every energy and
// keeps its distance; one beyond the scale of 10^6 eV lies above them all.
double OSTREL_raw_from_scaled_energy(const OSTREL_cube* cube, double s) {
  if (!cube->scaling)
    return s;
  const double s0 = OSTREL_scale_cube_energy(cube, 0);
  if (!(s > s0))
    return std::isnan(s) ? 0 : s - s0;
  double lo = 0, hi = 1;
  while (OSTREL_scale_cube_energy(cube, hi) < s && hi < 1e6) hi *= 2;
  if (!(s <= OSTREL_scale_cube_energy(cube, hi)))
    return hi;
  for (int it = 0; it < 200 && hi - lo > 1e-12; it++) {
    const double mid = 0.5 * (lo + hi);
    (OSTREL_scale_cube_energy(cube, mid) < s ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// ===========================================================================
// Variable sections
// ===========================================================================

int OSTREL_parse_vesta_symop(const std::string& op, OSTREL_vesta_symop* out) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t p = op.find(',', start);
    parts.push_back(op.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos)
      break;
    start = p + 1;
  }
  if (parts.size() != 3)
    return 1;
  for (int row = 0; row < 3; row++) {
    // An affine component is fixed by its values at the origin and at the
    // three unit points; a fourth point checks that it is affine.
    double v0, vx, vy, vz, v1;
    const char* c = parts[row].c_str();
    if (OSTREL_symmetry_parse_symop(c, &v0, 0, 0, 0) || OSTREL_symmetry_parse_symop(c, &vx, 1, 0, 0) ||
        OSTREL_symmetry_parse_symop(c, &vy, 0, 1, 0) || OSTREL_symmetry_parse_symop(c, &vz, 0, 0, 1) ||
        OSTREL_symmetry_parse_symop(c, &v1, 0.3, 0.7, 0.9))
      return 1;
    const double k[3] = {vx - v0, vy - v0, vz - v0};
    for (int col = 0; col < 3; col++) {
      out->r[row][col] = (int)lround(k[col]);
      if (fabs(k[col] - out->r[row][col]) > 1e-9)
        return 1;
    }
    out->t[row] = v0;
    if (fabs(v0 + 0.3 * k[0] + 0.7 * k[1] + 0.9 * k[2] - v1) > 1e-9)
      return 1;
  }
  return 0;
}

void OSTREL_print_vesta_symop(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "SYMOP\n");
  for (int o = 0; o < cif->symop_no; o++) {
    OSTREL_vesta_symop s;
    if (OSTREL_parse_vesta_symop(cif->symop[o], &s)) {
      printf("Warning: Symmetry operation %s is not written to OSTREL.vesta\n",
             cif->symop[o].c_str());
      continue;
    }
    fprintf(stream, "%.6f  %.6f  %.6f  %d  %d  %d   %d  %d  %d   %d  %d  %d   1\n", s.t[0], s.t[1],
            s.t[2], s.r[0][0], s.r[0][1], s.r[0][2], s.r[1][0], s.r[1][1], s.r[1][2], s.r[2][0],
            s.r[2][1], s.r[2][2]);
  }
  fprintf(stream, "-1.0 -1.0 -1.0  1 0 0  0 0 0  0 0 0\n");
}

void OSTREL_print_vesta_struc(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "STRUC\n");
  for (int s = 0; s < cif->site_no; s++) {
    const OSTREL_site& t = cif->site[s];
    fprintf(stream, "%d ", s + 1);
    fprintf(stream, "%s %s %.4f %.6f %.6f %.6f\n", site_element(t).c_str(), t.label.c_str(), t.occ,
            t.x, t.y, t.z);
    fprintf(stream, "0 0 0 %.2f\n", t.ox);
  }
  fprintf(stream, "  0 0 0 0 0 0 0\n");
}

double OSTREL_maximum_pair_distance(const char* cation, const char* anion, int cation_ox,
                                    int anion_ox) {
  const std::string path = OSTREL_find_data_file("database_binary.dat");
  OSTREL_pair_table table;
  if (path.empty()) {
    fprintf(stderr, "Error: Cannot load database_binary.dat!\n");
    return -1;
  }
  if (OSTREL_read_pair_table(path.c_str(), &table))
    return -1;
  auto hit = table.find(OSTREL_pair_key(cation, cation_ox, anion, anion_ox));
  if (hit == table.end())
    return -1;
  const OSTREL_pair_parameters& p = hit->second;
  const double s = cation_ox / (4.25 * p.cn);
  if (!(s > 0) || !(p.b > 0))
    return -1;
  return p.r0 - p.b * log(s);
}

void OSTREL_print_vesta_bond(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "SBOND\n");
  const std::string P = probe_element(cif);
  int running = 0;
  for (int i = 0; i < cif->type_no; i++)
    for (int j = i + 1; j < cif->type_no; j++) {
      const OSTREL_type& ti = cif->type[i];
      const OSTREL_type& tj = cif->type[j];
      // A bond needs a cation and an anion (a state of 0 is neither) with
      // parameters; the mobile ion's bonds would hide the landscape.
      if (!(ti.ox * tj.ox < 0) || ti.label_element == P || tj.label_element == P)
        continue;
      const OSTREL_type& cat = ti.ox > 0 ? ti : tj;
      const OSTREL_type& an = ti.ox > 0 ? tj : ti;
      const double len = OSTREL_maximum_pair_distance(
          cat.label_element.c_str(), an.label_element.c_str(), (int)lround(cat.ox),
          (int)lround(an.ox));
      if (len < 0)
        continue;
      fprintf(stream, "%d %s %s 0.60000    %.6f 0 1 1 0 1 0.250 1.000 180 180 180\n", ++running,
              cat.label_element.c_str(), an.label_element.c_str(), len);
    }
  fprintf(stream, "  0 0 0 0\n");
}

void OSTREL_print_vesta_SITET(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "SITET\n");
  const std::string P = probe_element(cif);
  for (int s = 0; s < cif->site_no; s++) {
    fprintf(stream, "%d %s ", s + 1, cif->site[s].label.c_str());
    if (!P.empty() && site_element(cif->site[s]) == P)
      fprintf(stream, "0.8000 249 220  60 249 220  60 204  1\n");
    else
      fprintf(stream, "0.0000 249 220  60 249 220  60 204  0\n");
  }
  fprintf(stream, "  0 0 0 0 0 0\n");
}

void OSTREL_print_vesta_ATOMT(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "ATOMT\n");
  const std::string P = probe_element(cif);
  for (int t = 0; t < cif->type_no; t++) {
    const std::string& e = cif->type[t].label_element;
    fprintf(stream, "%d %s ", t + 1, e.c_str());
    if (!P.empty() && e == P)
      fprintf(stream, "0.8000 249 220  60 249 220  60 204\n");
    else
      fprintf(stream, "0.0000 249 220  60 249 220  60 204\n");
  }
  fprintf(stream, "  0 0 0 0 0 0\n");
}

void OSTREL_vesta_isosurface_levels(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                    double level[3]) {
  const double t = std::abs((int)cube->ion_charge);
  const double E1 = lib->oneD, E2 = lib->twoD, E3 = lib->threeD;
  double iso3 = E3 < 1.3 * t ? E3 : E2 < 1.3 * t ? E2 : E1 < 1.3 * t ? E1 : 1.3 * t;
  const double d = 0.02 * t;
  double iso2 = E2 < iso3 - d ? E2 : E1 < iso3 - d ? E1 : iso3 / 2;
  double iso1 = E1 < iso2 - d ? E1 : (iso2 / 3 < d ? iso2 / 3 : d);
  // The levels are scaled energies above the global minimum; the cube holds
  // raw energies shifted by its own global minimum.
  const double* iso[3] = {&iso1, &iso2, &iso3};
  for (int k = 0; k < 3; k++)
    level[k] = OSTREL_raw_from_scaled_energy(cube, *iso[k]) + 0.01 +
               (cube->global_minimum - cube->energy_shift);
}

void OSTREL_print_vesta_ISURF(const OSTREL_cif* cif, const OSTREL_cube* cube,
                              const OSTREL_pathlib* lib, FILE* stream) {
  (void)cif;
  double level[3];
  OSTREL_vesta_isosurface_levels(cube, lib, level);
  fprintf(stream, "ISURF\r\n");
  fprintf(stream, "1 1 %f  0   0  64 127 255\n", level[0]);
  fprintf(stream, "2 1 %f 128 128 255 127   0\n", level[1]);
  fprintf(stream, "3 1 %f 172 255 255 127   0\n", level[2]);
}

// ===========================================================================
// The files
// ===========================================================================

int OSTREL_write_vesta(const OSTREL_cube* cube, const OSTREL_cif* cif, const OSTREL_pathlib* lib,
                       const std::string& cube_file, FILE* f) {
  fprintf(f, "#VESTA_FORMAT_VERSION 3.3.0\nCRYSTAL\n\n\nTITLE\nOSTREL\n\n");
  fprintf(f, "IMPORT_DENSITY 1\n+1.000000E+000 %s\n\n", cube_file.c_str());
  fprintf(f, "GROUP\n%d 1\n", cif->int_tab_cryst_no);
  OSTREL_print_vesta_symop(cif, f);
  fprintf(f, "TRANM 0\n 0.000000  0.000000  0.000000  1  0  0   0  1  0   0  0  1\n");
  fprintf(f, "LTRANSL\n 0.000000  0.000000  0.000000  0.000000  0.000000  0.000000\n");
  fprintf(f, "LORIENT\r\n -1   0   0   0   0\n"
             " 1.000000  0.000000  0.000000  1.000000  0.000000  0.000000\n"
             " 0.000000  0.000000  1.000000  0.000000  0.000000  1.000000\n");
  fprintf(f, "LMATRIX\r\n 1.000000  0.000000  0.000000  0.000000\n"
             " 0.000000  1.000000  0.000000  0.000000\n 0.000000  0.000000  1.000000  0.000000\n"
             " 0.000000  0.000000  0.000000  1.000000\n 0.000000  0.000000  0.000000\n");
  fprintf(f, "CELLP\n%f %f %f %f %f %f\n", cif->a, cif->b, cif->c, cif->alpha, cif->beta,
          cif->gamma);
  OSTREL_print_vesta_struc(cif, f);
  fprintf(f, "SHAPE\n  0       0       0       0   0.000000  0   192   192   192   192\n");
  fprintf(f, "BOUND\n    0      1      0      1         0        1\n  0   0   0   0  0\n");
  OSTREL_print_vesta_bond(cif, f);
  OSTREL_print_vesta_SITET(cif, f);
  fprintf(f, "VECTR\n 0 0 0 0 0\nVECTT\n 0 0 0 0 0\nSPLAN\n  0   0   0   0\n");
  fprintf(f, "LBLAT\r\n");
  for (int k = 0; k <= 34; k++) fprintf(f, "%d ", k);
  fprintf(f, " -1\n");
  fprintf(f, "LBLSP\n -1\nDLATM\n -1\nDLBND\n -1\nDLPLY\n -1\nPLN2D\n  0   0   0   0\n");
  OSTREL_print_vesta_ATOMT(cif, f);
  fprintf(f, "SCENE\r\n 0.902291  0.000000  0.431127  0.000000\n"
             " 0.000000  1.000000 -0.000000  0.000000\n-0.431127  0.000000  0.902291  0.000000\n"
             " 0.000000  0.000000  0.000000  1.000000\n  0.000   0.000\n  0.000\n  1.189\n");
  fprintf(f, "HBOND 0 2\n\n");
  fprintf(f, "STYLE\nDISPF 37753666\nMODEL   2  1  0\nSURFS   0  1  1\nSECTS 96 0\nFORMS 0 1\n"
             "ATOMS 0 0 1\nBONDS 1\nPOLYS 4\nVECTS 1.000000\n");
  fprintf(f, "FORMP\n  1  1.0   0   0   0\n");
  fprintf(f, "ATOMP\r\n 24  24   0  50  2.0   0\n");
  fprintf(f, "BONDP\r\n  1  16  0.250  1.000 180 180 180\n");
  fprintf(f, "POLYP\r\n 204 1  1.000   0   0  64\n");
  OSTREL_print_vesta_ISURF(cif, cube, lib, f);
  fprintf(f, "0 0 0 0\n");
  fprintf(f, "TEX3P\n  1 0.00000E+000 1.00000E+000\n");
  fprintf(f, "SECTP\n  1 0.00000E+000 1.00000E+000 0.00000E+000\n");
  fprintf(f, "HKLPP\n 192 1  1.000 255   0 255\n");
  fprintf(f, "UCOLP\n   0   1  3.000   0   0   0\n");
  fprintf(f, "COMPS 1\nLABEL 1    12  1.000 0\nPROJT 0  0.962\nBKGRC\n 255 255 255\n"
             "DPTHQ 1 -0.5000  3.5000\n");
  lines(f, LIGHTS_AND_MATERIALS);
  return 0;
}

int OSTREL_print_vesta_output(const OSTREL_cube* cube, const OSTREL_cif* cif,
                              const OSTREL_pathlib* lib, const OSTREL_input* input) {
  const std::string name = input->cube ? input->cube_file : std::string();
  const OSTREL_write_status w = OSTREL_write_file(
      OSTREL_output_path("OSTREL.vesta").c_str(), [&](FILE* f) { return OSTREL_write_vesta(cube, cif, lib, name, f); });
  if (w != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to OSTREL.vesta\n");
    return 1;
  }
  return 0;
}

int OSTREL_write_vesta_cmd(const OSTREL_cif* cif, const std::string& cube_file, FILE* f) {
  static const char* const head[] = {"#VESTA_FORMAT_VERSION 3.3.0", "CRYSTAL", "", "TITLE",
                                     "OSTREL", "", "IMPORT_DENSITY 1"};
  lines(f, head, "\r\n");
  fprintf(f, "+1.000000E+000 %s\r\n\r\nSYMOP\r\nCELLP\r\n", cube_file.c_str());
  fprintf(f, "%f %f %f %f %f %f\r\n\r\n", cif->a, cif->b, cif->c, cif->alpha, cif->beta,
          cif->gamma);
  static const char* const style[] = {
      "STYLE", "DISPF 147546", "MODEL   3  0  0", "SURFS   0  1  1", "SECTS 96 0", "FORMS 0 1",
      "ATOMS 0 0 1", "BONDS 1", "POLYS 4", "VECTS 1.000000", "FORMP", "  1  1.0   0   0   0",
      "ATOMP", " 24  24   0  50  2.0   0", "BONDP", "  1  16  0.250  1.000 180 180 180", "POLYP",
      " 255 1  1.000 180 180 180", "ISURF", "1 1 -1.4 0 0 0 255 200",
      "2 1 -0.8 128 128 255 150 0", "3 1 -0.4 151 255 255 150 0", "0 0 0 0", "TEX3P",
      "  1 0.00000E+000 1.00000E+000", "SECTP", "  1 0.00000E+000 1.00000E+000 0.00000E+000",
      "HKLPP", " 192 1  1.000 159 225 163", "UCOLP", "   0   1  1.000   0   0   0", "COMPS 1",
      "LABEL 1    12  1.000 0", "PROJT 0  0.962", "BKGRC", " 255 255 255",
      "DPTHQ 1 -0.5000  3.5000"};
  lines(f, style, "\r\n");
  lines(f, LIGHTS_AND_MATERIALS, "\r\n");
  return 0;
}

int OSTREL_print_vesta_cmd_output(const OSTREL_cif* cif, const std::string& cube_file) {
  const OSTREL_write_status w = OSTREL_write_file(
      OSTREL_output_path("OSTREL.vesta").c_str(), [&](FILE* f) { return OSTREL_write_vesta_cmd(cif, cube_file, f); });
  if (w != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to OSTREL.vesta\n");
    return 1;
  }
  return 0;
}
