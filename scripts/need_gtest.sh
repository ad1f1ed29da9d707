# Sourced by the test scripts: installs GoogleTest's headers with apt-get when they are missing.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest headers missing (install libgtest-dev)" >&2
    exit 1
  fi
fi
