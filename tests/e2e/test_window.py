"""The main window at the display scalings a location's PC may use."""

import pytest

import rig

DESKTOP_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"
# The window's client area at 100 %, 2595 x 4080 twips.
CLIENT_SIZE = (173, 272)


@pytest.fixture
def display_dpi(kestrane):
    """Sets the display's dots per inch for this test, and puts 96 back after."""
    def set_dpi(dpi):
        kestrane.prefix.reg_add(DESKTOP_KEY, "LogPixels", str(dpi), value_type="REG_DWORD", view=64)
    yield set_dpi
    set_dpi(96)


@pytest.mark.parametrize("dpi", [96, 144, 192], ids=["100%", "150%", "200%"])
def test_the_window_scales_with_the_display(kestrane, display_dpi, dpi):
    display_dpi(dpi)
    kestrane.provision("0042", "127.0.0.1:9", "kestrane", "secret", "")

    result = kestrane.run(close_after_ms=1500,
                          at=[(1000, lambda: kestrane.screenshot("window-%d-dpi.png" % dpi))])

    window = result.main_window
    assert window is not None, result.describe()
    # The window lays itself out for the display's dpi (it is dpi aware), so
    # its text is drawn at that size rather than stretched.
    expected = [round(size * dpi / 96) for size in CLIENT_SIZE]
    assert abs(window["client_width"] - expected[0]) <= 2, window
    assert abs(window["client_height"] - expected[1]) <= 2, window
    assert result.log == rig.FIRST_LOG_LINE
    assert result.exit_code == 0
