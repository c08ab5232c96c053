// The images of a folder: names that try to leave it are never opened, links inside it are
// followed, files added, replaced and removed while serving are seen at the next lookup, and the
// versions remembered stay bounded.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "change_endian.hpp"
#include "crserve/images.hpp"
#include "crserve/site.hpp"
#include "support/support.hpp"

using namespace crserve;
using namespace test_support;

namespace {

struct ImagesTest : ::testing::Test {
  // A folder "lib" holding coffee.cr, maps/1901.cr and a second image outside it, "secret.cr".
  void SetUp() override {
    check_endian();
    r64_init();
    ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"}).status, 0);
    root = scratch_path("lib");
    std::filesystem::create_directories(root + "/maps");
    std::filesystem::copy_file(scratch_path("p.cr"), root + "/coffee.cr");
    std::filesystem::copy_file(scratch_path("p.cr"), root + "/maps/1901.cr");
    std::filesystem::copy_file(scratch_path("p.cr"), scratch_path("secret.cr"));
    std::string message;
    images = Images::open(root, &message);
    ASSERT_TRUE(images) << message;
  }
  std::string root;
  std::unique_ptr<Images> images;
};

TEST_F(ImagesTest, NamesThatLeaveTheFolderAreNeverOpened) {
  ASSERT_TRUE(images->is_folder());
  EXPECT_TRUE(images->find("coffee"));
  EXPECT_TRUE(images->find("maps/1901"));
  std::filesystem::create_symlink("../secret.cr", root + "/out.cr");
  std::filesystem::create_symlink(scratch_path("secret.cr"), root + "/absolute.cr");
  std::filesystem::create_symlink(scratch_path(""), root + "/up");
  std::filesystem::create_symlink("coffee.cr", root + "/alias.cr");
  const std::string absolute = scratch_path("secret");
  for (const char* name : {"../secret", "maps/../../secret", "/secret", absolute.c_str(), "out", "absolute", "up/secret",
                           "up/lib/coffee", "./coffee", "maps//1901", "maps/", "", ".", "..", "coffee.cr", "missing", "maps"})
    EXPECT_FALSE(images->find(name)) << name;
  EXPECT_FALSE(images->find(std::string_view("coffee\0", 7)));
  EXPECT_TRUE(images->find("alias")) << "a link that stays inside is followed";
  std::vector<std::string> names = images->names();
  EXPECT_EQ(names, (std::vector<std::string>{"absolute", "alias", "coffee", "maps/1901", "out"}))
      << "listed, but only those inside open";
}

TEST_F(ImagesTest, FilesAddedReplacedAndRemovedAreSeenAtOnce) {
  EXPECT_FALSE(images->find("new"));
  std::filesystem::copy_file(scratch_path("p.cr"), root + "/new.cr");
  std::shared_ptr<const ImageFile> first = images->find("new");
  ASSERT_TRUE(first);
  EXPECT_EQ(images->find("new")->serial, first->serial) << "the same version while the file is the same";
  std::vector<unsigned long> forgotten;
  images->on_forget([&](unsigned long serial) { forgotten.push_back(serial); });
  ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "q.r64", "-l", "-crsize", "128", "-cr", "q.cr"}).status, 0);
  ASSERT_EQ(std::rename(scratch_path("q.cr").c_str(), (root + "/new.cr").c_str()), 0);
  std::shared_ptr<const ImageFile> second = images->find("new");
  ASSERT_TRUE(second);
  EXPECT_NE(second->serial, first->serial);
  EXPECT_NE(second->identity, first->identity);
  EXPECT_EQ(second->pyramid.tile, 128);
  EXPECT_EQ(forgotten, std::vector<unsigned long>{first->serial}) << "the old version's caches are let go";
  CR_FILE* stale = images->open_handle(*first);
  EXPECT_EQ(stale, nullptr) << "no handle on a version that is gone";
  CR_FILE* current = images->open_handle(*second);
  ASSERT_NE(current, nullptr);
  cr_close_file(current);
  ASSERT_EQ(std::remove((root + "/new.cr").c_str()), 0);
  EXPECT_FALSE(images->find("new"));
  EXPECT_EQ(forgotten.back(), second->serial);
  write_file(root + "/bad.cr", "not a CR file at all");
  EXPECT_FALSE(images->find("bad"));
}

TEST_F(ImagesTest, VersionsRememberedStayBounded) {
  for (size_t i = 0; i < kImagesRemembered + 10; ++i) {
    std::string name = std::string("n").append(std::to_string(i));
    ASSERT_EQ(::link((root + "/coffee.cr").c_str(), (root + "/" + name + ".cr").c_str()), 0);
    ASSERT_TRUE(images->find(name));
  }
  size_t forgotten = 0;
  images->on_forget([&](unsigned long) { ++forgotten; });
  for (size_t i = 0; i < 20; ++i) images->find(std::string("n").append(std::to_string(i)));  // forgotten first, so found anew
  EXPECT_GE(forgotten, 20u);
}

TEST(SingleFile, ServesItsOneImageUnderTheEmptyName) {
  check_endian();
  r64_init();
  ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"}).status, 0);
  std::string message;
  auto images = Images::open(scratch_path("p.cr"), &message);
  ASSERT_TRUE(images) << message;
  EXPECT_FALSE(images->is_folder());
  EXPECT_EQ(images->file_name(), "p.cr");
  EXPECT_TRUE(images->find(""));
  EXPECT_FALSE(images->find("p"));
  EXPECT_TRUE(images->names().empty());
}

}  // namespace
