#include "cli/nifti_io.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>

#include "cli/errors.h"
#include "fixture.h"

namespace volnlm::cli {
namespace {

using testing::ScratchDir;

constexpr Extents kSmall{5, 4, 3};

// Every real datatype, each with a scaling (slope 0 meaning none), in both NIfTI versions and
// both file kinds: the reader must give raw * slope + inter, exactly as doubles do it.
TEST(NiftiReader, ReadsEveryDatatypeWithItsScaling) {
  struct Case {
    int datatype;
    double slope, inter;
    double raw0, step;
  };
  const Case cases[] = {
      {DT_UINT8, 2.0, -10.0, 0, 4},
      {DT_INT8, -1.0, 0.0, -100, 3},
      {DT_INT16, 0.0, 5.0, -3000, 97},  // slope 0: unscaled, the intercept ignored
      {DT_UINT16, 0.5, 100.0, 1000, 911},
      {DT_INT32, 1.0, 0.0, -70000, 6007},
      {DT_UINT32, 3.0, 1.0, 4e9 - 1000, 13},
      {DT_INT64, 0.25, 0.0, -1e12, 12345},
      {DT_UINT64, 1.0, -1.0, 1e15, 999},
      {DT_FLOAT32, 3.0, 1.0, -2.5, 0.125},
      {DT_FLOAT64, 1e-3, 7.0, 1.0 / 3.0, 1e-7},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    for (const bool nifti2 : {false, true}) {
      for (const char* suffix : {".nii", ".nii.gz"}) {
        SCOPED_TRACE(std::string(nifti_datatype_string(c.datatype)) +
                     (nifti2 ? " NIfTI-2 " : " NIfTI-1 ") + suffix);
        Header image = testing::new_image(c.datatype, kSmall);
        image->scl_slope = c.slope;
        image->scl_inter = c.inter;
        const int64_t n = voxel_count(kSmall);
        for (int64_t i = 0; i < n; ++i) testing::set_raw(image.get(), i, c.raw0 + c.step * i);
        const std::string path = dir.file(std::string("in") + std::to_string(c.datatype) +
                                          (nifti2 ? "_2" : "_1") + suffix);
        testing::write_with_niftilib(image.get(), path, nifti2);

        NiftiReader reader(path);
        ASSERT_EQ(reader.header().nifti_type, nifti2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1);
        EXPECT_EQ(reader.volumes(), 1);
        EXPECT_EQ(reader.extents().d0, kSmall.d0);
        EXPECT_EQ(reader.extents().d2, kSmall.d2);
        std::vector<double> got(static_cast<size_t>(n));
        reader.read_volume(got.data());
        for (int64_t i = 0; i < n; ++i) {
          double raw = 0.0;
          switch (c.datatype) {  // the value as stored, in its own type
            case DT_FLOAT32:
              raw = static_cast<float>(c.raw0 + c.step * i);
              break;
            case DT_INT64:
              raw = static_cast<double>(static_cast<int64_t>(c.raw0 + c.step * i));
              break;
            case DT_UINT64:
              raw = static_cast<double>(static_cast<uint64_t>(c.raw0 + c.step * i));
              break;
            default:
              raw = c.raw0 + c.step * i;
          }
          // niftilib keeps NIfTI-1's float scaling fields in doubles: compare with what it holds.
          const double want =
              c.slope != 0.0 ? raw * reader.header().scl_slope + reader.header().scl_inter : raw;
          ASSERT_EQ(got[i], want) << "voxel " << i;
        }
      }
    }
  }
}

// A big-endian file (as older scanners and tools write) reads like its little-endian twin.
TEST(NiftiReader, ReadsTheOtherByteOrder) {
  ScratchDir dir;
  Header image = testing::new_image(DT_INT16, kSmall);
  image->scl_slope = 2.0;
  const int64_t n = voxel_count(kSmall);
  for (int64_t i = 0; i < n; ++i)
    static_cast<int16_t*>(image->data)[i] = static_cast<int16_t>(300 * i - 7000);
  testing::write_with_niftilib(image.get(), dir.file("native.nii"));

  std::ifstream in(dir.file("native.nii"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 352u + 2 * n);
  swap_nifti_header(bytes.data(), 1);
  nifti_swap_2bytes(n, bytes.data() + 352);
  std::ofstream(dir.file("swapped.nii"), std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  std::vector<double> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
  NiftiReader(dir.file("native.nii")).read_volume(a.data());
  NiftiReader swapped(dir.file("swapped.nii"));
  EXPECT_NE(swapped.header().byteorder, nifti_short_order());
  swapped.read_volume(b.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(b[1], 2.0 * (300 - 7000));
}

// Zero extents, voxel types without real scalars and ANALYZE files are refused by name (missing,
// unreadable and truncated files are run through the executable in run_test.cpp).
TEST(NiftiReader, RefusesWhatItCannotRead) {
  ScratchDir dir;
  Header complex = testing::new_image(DT_COMPLEX64, kSmall);
  testing::write_with_niftilib(complex.get(), dir.file("complex.nii"));
  Header rgb = testing::new_image(DT_RGB24, kSmall);
  testing::write_with_niftilib(rgb.get(), dir.file("rgb.nii"));
  Header analyze = testing::new_image(DT_INT16, kSmall);
  ASSERT_EQ(nifti_set_filenames(analyze.get(), dir.file("old.hdr").c_str(), 0, 1), 0);
  analyze->nifti_type = NIFTI_FTYPE_ANALYZE;
  nifti_image_write(analyze.get());
  // A zero extent (which niftilib would read as 1), in NIfTI-1 and in byte-swapped NIfTI-1.
  Header flat = testing::new_image(DT_INT16, kSmall);
  testing::write_with_niftilib(flat.get(), dir.file("whole.nii"));
  std::ifstream in(dir.file("whole.nii"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes[46] = bytes[47] = 0;  // dim[3]
  std::ofstream(dir.file("empty.nii"), std::ios::binary)
      .write(bytes.data(), std::streamsize(bytes.size()));
  swap_nifti_header(bytes.data(), 1);
  std::ofstream(dir.file("empty_swapped.nii"), std::ios::binary)
      .write(bytes.data(), std::streamsize(bytes.size()));
  // A NIfTI-2 series whose 64-bit extents past the third multiply beyond 64 bits.
  Header series = testing::new_image(DT_INT16, kSmall);
  testing::write_with_niftilib(series.get(), dir.file("series2.nii"), true);
  std::ifstream in2(dir.file("series2.nii"), std::ios::binary);
  std::vector<char> bytes2((std::istreambuf_iterator<char>(in2)), std::istreambuf_iterator<char>());
  const int64_t rank = 7, huge = int64_t{1} << 40;
  std::memcpy(bytes2.data() + 16, &rank, 8);  // dim[0]
  for (int i = 4; i < 8; ++i) std::memcpy(bytes2.data() + 16 + 8 * i, &huge, 8);
  std::ofstream(dir.file("huge_series2.nii"), std::ios::binary)
      .write(bytes2.data(), std::streamsize(bytes2.size()));
  struct Case {
    std::string path, message;
  };
  const Case cases[] = {
      {dir.file("huge_series2.nii"), "too many voxels"},
      {dir.file("empty.nii"), "holds no voxels"},
      {dir.file("empty_swapped.nii"), "holds no voxels"},
      {dir.file("complex.nii"), "COMPLEX64"},
      {dir.file("rgb.nii"), "RGB24"},
      {dir.file("old.hdr"), "ANALYZE"},
  };
  for (const Case& c : cases) {
    try {
      NiftiReader reader(c.path);
      ADD_FAILURE() << c.path << " was accepted";
    } catch (const RunError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// The output keeps the input's header: everything but the datatype and the scaling.
TEST(NiftiWriter, KeepsTheHeaderOfItsInput) {
  ScratchDir dir;
  for (const bool nifti2 : {false, true}) {
    for (const OutputType type : {OutputType::float32, OutputType::float64}) {
      SCOPED_TRACE(std::string(nifti2 ? "NIfTI-2 " : "NIfTI-1 ") +
                   (type == OutputType::float32 ? "float32" : "float64"));
      Header in = testing::new_image(DT_INT16, kSmall);
      in->scl_slope = 4.0;
      in->scl_inter = -3.0;
      testing::set_raw(in.get(), 5, 7);
      in->dx = in->pixdim[1] = 0.9;
      in->dy = in->pixdim[2] = 1.1;
      in->dz = in->pixdim[3] = 2.5;
      in->xyz_units = NIFTI_UNITS_MM;
      in->time_units = NIFTI_UNITS_SEC;
      in->qform_code = NIFTI_XFORM_SCANNER_ANAT;
      in->quatern_b = 0.1;
      in->quatern_c = -0.2;
      in->quatern_d = 0.3;
      in->qoffset_x = -90.5;
      in->qoffset_y = 12.25;
      in->qoffset_z = 40.0;
      in->qfac = -1.0;
      in->sform_code = NIFTI_XFORM_MNI_152;
      const double s[3][4] = {{0.9, 0.05, 0, -91}, {-0.04, 1.1, 0.01, -126}, {0, 0.02, 2.5, -72}};
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) in->sto_xyz.m[r][c] = s[r][c];
      }
      in->intent_code = NIFTI_INTENT_ESTIMATE;
      in->intent_p1 = 2.5;
      std::strcpy(in->intent_name, "magnitude");
      std::strcpy(in->descrip, "T1 MPRAGE 1mm");
      std::strcpy(in->aux_file, "lut.txt");
      in->cal_min = 0;
      in->cal_max = 800;
      in->slice_code = NIFTI_SLICE_SEQ_INC;
      in->slice_dim = 3;
      in->slice_duration = 0.05;
      const char extension[] = "{\"EchoTime\": 0.003}";
      ASSERT_EQ(nifti_add_extension(in.get(), extension, sizeof extension, NIFTI_ECODE_COMMENT), 0);
      const std::string in_path = dir.file(nifti2 ? "in2.nii.gz" : "in1.nii.gz");
      testing::write_with_niftilib(in.get(), in_path, nifti2);

      NiftiReader reader(in_path);
      std::vector<double> scaled(static_cast<size_t>(voxel_count(kSmall)));
      reader.read_volume(scaled.data());  // the voxels start after the extension
      EXPECT_EQ(scaled[0], -3.0);
      EXPECT_EQ(scaled[5], 25.0);
      const std::string out_path = dir.file("out.nii.gz");
      NiftiWriter writer(out_path, reader.header(), type);
      std::vector<double> volume(static_cast<size_t>(voxel_count(kSmall)));
      for (size_t i = 0; i < volume.size(); ++i) volume[i] = 0.1 + 1.0 / (1.0 + i);
      writer.write_volume(volume.data());
      writer.commit();

      Header out = testing::read_with_niftilib(out_path);
      ASSERT_TRUE(out);
      const Header& want = in;  // as written by niftilib and read back by it
      Header back = testing::read_with_niftilib(in_path);
      // The version is in the header's size field (niftilib reports every single file as 1).
      int32_t header_size = 0;
      gzFile f = gzopen(out_path.c_str(), "rb");
      ASSERT_EQ(gzread(f, &header_size, 4), 4);
      gzclose(f);
      EXPECT_EQ(header_size, nifti2 ? 540 : 348);
      EXPECT_EQ(out->datatype, type == OutputType::float32 ? DT_FLOAT32 : DT_FLOAT64);
      EXPECT_EQ(out->scl_slope, 1.0);
      EXPECT_EQ(out->scl_inter, 0.0);
      for (int i = 0; i < 8; ++i) {
        // Extents past dim[0] mean nothing and are written as 1.
        EXPECT_EQ(out->dim[i], i <= back->dim[0] ? back->dim[i] : 1) << i;
        EXPECT_EQ(out->pixdim[i], back->pixdim[i]) << i;
      }
      EXPECT_EQ(out->xyz_units, want->xyz_units);
      EXPECT_EQ(out->time_units, want->time_units);
      EXPECT_EQ(out->qform_code, want->qform_code);
      EXPECT_EQ(out->sform_code, want->sform_code);
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
          EXPECT_EQ(out->qto_xyz.m[r][c], back->qto_xyz.m[r][c]) << r << c;
          EXPECT_EQ(out->sto_xyz.m[r][c], back->sto_xyz.m[r][c]) << r << c;
        }
      }
      EXPECT_EQ(out->qfac, back->qfac);
      EXPECT_EQ(out->intent_code, want->intent_code);
      EXPECT_EQ(out->intent_p1, back->intent_p1);
      EXPECT_STREQ(out->intent_name, "magnitude");
      EXPECT_STREQ(out->descrip, "T1 MPRAGE 1mm");
      EXPECT_STREQ(out->aux_file, "lut.txt");
      EXPECT_EQ(out->cal_max, 800);
      EXPECT_EQ(out->slice_code, NIFTI_SLICE_SEQ_INC);
      EXPECT_EQ(out->slice_duration, back->slice_duration);
      ASSERT_EQ(out->num_ext, 1);
      EXPECT_EQ(out->ext_list[0].ecode, NIFTI_ECODE_COMMENT);
      EXPECT_STREQ(out->ext_list[0].edata, extension);
      for (size_t i = 0; i < volume.size(); ++i) {
        const double got = type == OutputType::float32 ? static_cast<float*>(out->data)[i]
                                                       : static_cast<double*>(out->data)[i];
        const double expected =
            type == OutputType::float32 ? static_cast<float>(volume[i]) : volume[i];
        ASSERT_EQ(got, expected) << i;
      }
    }
  }
}

// A 4-D series is read and written volume by volume, in order; the file appears only complete.
TEST(NiftiWriter, WritesA4DSeriesOnlyWhenComplete) {
  ScratchDir dir;
  const int64_t n = voxel_count(kSmall);
  Header in = testing::new_image(DT_UINT16, kSmall, 3);
  in->scl_slope = 0.5;
  for (int64_t i = 0; i < 3 * n; ++i)
    static_cast<uint16_t*>(in->data)[i] = static_cast<uint16_t>(i);
  testing::write_with_niftilib(in.get(), dir.file("series.nii"));

  NiftiReader reader(dir.file("series.nii"));
  ASSERT_EQ(reader.volumes(), 3);
  std::vector<double> volume(static_cast<size_t>(n));
  {
    NiftiWriter partial(dir.file("partial.nii"), reader.header(), OutputType::float64);
    reader.read_volume(volume.data());
    partial.write_volume(volume.data());
    EXPECT_THROW(partial.commit(), RunError);  // 1 of 3 volumes
  }
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"series.nii"});  // no partial, no temporary

  NiftiReader again(dir.file("series.nii"));
  NiftiWriter writer(dir.file("out.nii"), again.header(), OutputType::float64);
  for (int v = 0; v < 3; ++v) {
    again.read_volume(volume.data());
    EXPECT_EQ(volume[0], 0.5 * (v * n));  // volumes come in order, scaled
    for (double& x : volume) x += 1000.0 * v;
    writer.write_volume(volume.data());
  }
  EXPECT_THROW(again.read_volume(volume.data()), RunError);  // past the last volume
  writer.commit();
  Header out = testing::read_with_niftilib(dir.file("out.nii"));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->dim[0], 4);
  EXPECT_EQ(out->dim[4], 3);
  const double* data = static_cast<double*>(out->data);
  for (int64_t i = 0; i < 3 * n; ++i) {
    ASSERT_EQ(data[i], 0.5 * i + 1000.0 * (i / n)) << i;
  }
}

TEST(NiftiWriter, ReplacesOnlyOnCommitAndRefusesOtherNames) {
  ScratchDir dir;
  Header in = testing::new_image(DT_FLOAT32, kSmall);
  testing::write_with_niftilib(in.get(), dir.file("target.nii"));
  const auto before = std::filesystem::file_size(dir.file("target.nii"));
  std::vector<double> volume(static_cast<size_t>(voxel_count(kSmall)), 1.5);
  {
    NiftiWriter writer(dir.file("target.nii"), *in, OutputType::float64);
    writer.write_volume(volume.data());
    EXPECT_EQ(std::filesystem::file_size(dir.file("target.nii")), before);  // still the old file
    writer.commit();
  }
  EXPECT_EQ(read_single_volume(dir.file("target.nii")), volume);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"target.nii"});
  EXPECT_THROW(NiftiWriter(dir.file("out.img"), *in, OutputType::float32), RunError);
  EXPECT_THROW(NiftiWriter(dir.file("no/such/dir/out.nii"), *in, OutputType::float32), RunError);
  EXPECT_THROW(NiftiWriter(dir.path(), *in, OutputType::float32), RunError);
}

// A cropped volume stays in register: each voxel maps to the same point in space as before.
TEST(CropHeader, KeepsEveryVoxelInPlace) {
  Header h = make_header(Extents{40, 50, 30}, 1.0);
  h->quatern_b = 0.2;
  h->qfac = -1.0;
  h->qto_xyz = nifti_quatern_to_dmat44(0.2, 0, 0, 3, -4, 5, 1, 1, 1, -1);
  h->sto_xyz.m[0][1] = 0.3;
  const Extents offset{7, 3, 11};
  Header c = crop_header(*h, offset, Extents{10, 12, 8});
  EXPECT_EQ(c->nx, 10);
  EXPECT_EQ(c->nz, 8);
  EXPECT_EQ(c->nvox, 10 * 12 * 8);
  for (const auto& [i, j, k] : {std::array<double, 3>{0, 0, 0}, {9, 11, 7}, {2, 5, 1}}) {
    for (int r = 0; r < 3; ++r) {
      auto at = [&](const nifti_dmat44& m, double x, double y, double z) {
        return m.m[r][0] * x + m.m[r][1] * y + m.m[r][2] * z + m.m[r][3];
      };
      EXPECT_NEAR(at(c->sto_xyz, i, j, k), at(h->sto_xyz, i + 7, j + 3, k + 11), 1e-9);
      EXPECT_NEAR(at(c->qto_xyz, i, j, k), at(h->qto_xyz, i + 7, j + 3, k + 11), 1e-9);
    }
  }
}

}  // namespace
}  // namespace volnlm::cli
