// A per-test temporary directory for the STAR and box file tests, with helpers
// to write a fixture file and read a written file back whole.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class CoordFileTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/vorn_coord_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        FILE* f = std::fopen(path(name).c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        return path(name);
    }
    std::string read(const std::string& name) const {
        FILE* f = std::fopen(path(name).c_str(), "r");
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += (char)c;
        std::fclose(f);
        return s;
    }
};
