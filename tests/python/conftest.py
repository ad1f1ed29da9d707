def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: long-running tests over very large graphs (deselect with -m 'not slow')")
