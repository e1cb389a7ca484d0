// Where the built volnlm executable writes its output: never over its input, a protected file or
// through a symbolic link unless --force says so; long and upper-case names work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;
namespace fs = std::filesystem;

constexpr Extents kExtents{8, 7, 6};

// An int16 file whose voxel i holds i + 1; `denoise --sigma 0` copies it as float32, so the
// datatype shows whether a file was replaced.
void write_int16(const std::string& path) {
  Header image = testing::new_image(DT_INT16, kExtents);
  for (int64_t i = 0; i < voxel_count(kExtents); ++i) {
    static_cast<int16_t*>(image->data)[i] = static_cast<int16_t>(i + 1);
  }
  testing::write_with_niftilib(image.get(), path);
}

int datatype_of(const std::string& path) {
  Header h = testing::read_with_niftilib(path);
  return h ? h->datatype : -1;
}

fs::perms perms_of(const std::string& path) {
  return fs::status(path).permissions() & fs::perms::all;
}

// Each case prepares the directory (in.nii, guide.nii and other.nii exist), runs denoise with OUT
// and checks what happened: refused with status 1 and a message naming --force, all files as
// they were; or, with --force, the file meant replaced by the result.
TEST(CliOutput, ReplacingAnInputOrALinkNeedsForce) {
  struct Case {
    std::string name;
    std::function<void(const ScratchDir&)> prepare;
    std::string out;  // relative to the directory
    std::string message;
    std::string replaced;  // with --force: the file that then holds the result
  };
  const auto nothing = [](const ScratchDir&) {};
  const Case cases[] = {
      {"the input", nothing, "in.nii", "it is the input", "in.nii"},
      {"the input spelled otherwise",
       [](const ScratchDir& d) { fs::create_directory(d.file("sub")); }, "sub/../././in.nii",
       "it is the input", "in.nii"},
      {"a hard link to the input",
       [](const ScratchDir& d) { fs::create_hard_link(d.file("in.nii"), d.file("hard.nii")); },
       "hard.nii", "it is the input", "hard.nii"},
      {"the guide", nothing, "guide.nii", "it is the input", "guide.nii"},
      {"a symbolic link to the input",
       [](const ScratchDir& d) { fs::create_symlink("in.nii", d.file("link.nii")); }, "link.nii",
       "it is a symbolic link (to ", "in.nii"},
      {"a symbolic link to another file",
       [](const ScratchDir& d) { fs::create_symlink(d.file("other.nii"), d.file("link.nii")); },
       "link.nii", "it is a symbolic link (to ", "other.nii"},
      {"a chain of links to a missing file",
       [](const ScratchDir& d) {
         fs::create_symlink("link2.nii", d.file("link.nii"));
         fs::create_symlink("new.nii", d.file("link2.nii"));
       },
       "link.nii", "new.nii", "new.nii"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_int16(dir.file("in.nii"));
    write_int16(dir.file("guide.nii"));
    write_int16(dir.file("other.nii"));
    c.prepare(dir);
    const auto before = dir.listing();
    const auto mode = perms_of(dir.file(c.replaced));
    std::vector<std::string> args{"denoise", dir.file("in.nii"), dir.file(c.out), "--sigma", "0",
                                  "-q"};
    if (c.name == "the guide") args.insert(args.end(), {"--guide", dir.file("guide.nii")});

    const testing::ToolRun refused = run_tool(args);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_TRUE(contains(refused.err, "volnlm: refusing to ")) << refused.err;
    EXPECT_TRUE(contains(refused.err, c.message)) << refused.err;
    EXPECT_TRUE(contains(refused.err, "--force")) << refused.err;
    EXPECT_EQ(dir.listing(), before);
    for (const char* name : {"in.nii", "guide.nii", "other.nii"}) {
      EXPECT_EQ(datatype_of(dir.file(name)), DT_INT16) << name;
    }

    args.push_back("--force");
    const testing::ToolRun forced = run_tool(args);
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(datatype_of(dir.file(c.replaced)), DT_FLOAT32) << c.replaced;
    EXPECT_EQ(read_single_volume(dir.file(c.replaced)),
              read_single_volume(dir.file(c.replaced == "in.nii" ? "guide.nii" : "in.nii")));
    const bool link = contains(c.name, "link") && !contains(c.name, "hard");
    EXPECT_EQ(fs::is_symlink(dir.file(c.out)), link) << "a link is kept, nothing else made one";
    if (c.replaced != "new.nii") {
      EXPECT_EQ(perms_of(dir.file(c.replaced)), mode) << "permissions kept";
    }
    for (const auto& name : dir.listing()) EXPECT_NE(name[0], '.') << name;
  }
}

// The help says what --force allows and what a link as OUT means.
TEST(CliOutput, HelpDocumentsForceAndLinks) {
  const testing::ToolRun r = run_tool({"denoise", "--help"});
  EXPECT_EQ(r.status, 0);
  std::string help;  // the option texts are wrapped: one line to search
  for (const char c : r.out) help += c == '\n' ? ' ' : c;
  for (std::string::size_type at; (at = help.find("  ")) != std::string::npos;) help.erase(at, 1);
  for (const char* part : {"--force", "when it is IN or the guide", "a symbolic link",
                           "A link is written through", "the link is kept"}) {
    EXPECT_TRUE(contains(help, part)) << part << "\n" << r.out;
  }
}

// A file the user may not write is not replaced without --force. Run as root, whom permissions
// do not bind, the tool runs as the unprivileged user "nobody" in a directory open to everyone,
// the file being root's.
TEST(CliOutput, AFileTheUserMayNotWriteNeedsForce) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii"), out = dir.file("theirs.nii");
  write_int16(in);
  write_int16(out);
  std::function<void()> as_user = [] {};
  if (geteuid() == 0) {
    fs::permissions(dir.path(), fs::perms::all);
    as_user = [] {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
    };
  } else {
    fs::permissions(out, fs::perms::owner_read | fs::perms::group_read);
  }
  const auto mode = perms_of(out);
  const testing::ToolRun refused = run_tool({"denoise", in, out, "--sigma", "0", "-q"}, as_user);
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_EQ(refused.err, "volnlm: refusing to replace " + out +
                             ": its permissions do not let you write it; --force replaces it "
                             "(keeping its permissions)\n");
  EXPECT_EQ(datatype_of(out), DT_INT16);
  const testing::ToolRun forced =
      run_tool({"denoise", in, out, "--sigma", "0", "-q", "--force"}, as_user);
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(datatype_of(out), DT_FLOAT32);
  EXPECT_EQ(perms_of(out), mode);
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.nii", "theirs.json", "theirs.nii"}));
}

// A file replaced without --force (writable, not an input) keeps its permissions too.
TEST(CliOutput, AReplacedFileKeepsItsPermissions) {
  ScratchDir dir;
  write_int16(dir.file("in.nii"));
  write_int16(dir.file("out.nii"));
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir.file("out.nii"), mode);
  const testing::ToolRun r =
      run_tool({"denoise", dir.file("in.nii"), dir.file("out.nii"), "--sigma", "0", "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(datatype_of(dir.file("out.nii")), DT_FLOAT32);
  EXPECT_EQ(perms_of(dir.file("out.nii")), mode);
}

// Names that once failed: one as long as the file system allows (the temporary name adds 18
// characters), and upper-case extensions, which the input side always took.
TEST(CliOutput, LongAndUpperCaseNamesAreWritten) {
  ScratchDir dir;
  write_int16(dir.file("in.nii"));
  const std::string longest = std::string(255 - 7, 'x') + ".nii.gz";
  struct Case {
    std::string out;
    bool compressed;
  };
  const Case cases[] = {
      {longest, true},
      {std::string(255 - 4, 'y') + ".nii", false},
      {"OUT.NII", false},
      {"OUT.NII.GZ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out.size() > 12 ? "..." + c.out.substr(c.out.size() - 12) : c.out);
    // The sidecar's name (".json" in place of ".nii") could be one character too long.
    const testing::ToolRun r = run_tool(
        {"denoise", dir.file("in.nii"), dir.file(c.out), "--sigma", "0", "-q", "--no-sidecar"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string bytes = testing::slurp(dir.file(c.out));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0] == '\x1f' && bytes[1] == '\x8b', c.compressed);
    EXPECT_EQ(read_single_volume(dir.file(c.out)), read_single_volume(dir.file("in.nii")));
  }
  const testing::ToolRun mixed =
      run_tool({"denoise", dir.file("in.nii"), dir.file("out.Nii"), "--sigma", "0"});
  EXPECT_EQ(mixed.status, 2);
  EXPECT_TRUE(contains(mixed.err, ".NII.GZ")) << mixed.err;
  EXPECT_EQ(dir.listing().size(), std::size(cases) + 1);
}

}  // namespace
}  // namespace volnlm::cli
