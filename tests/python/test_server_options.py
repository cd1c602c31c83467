"""The checks of the server's keyword arguments, and the reading of options from the
environment for any parser (options added later are covered the same way)."""

import argparse

import pytest

from quillet._config import ConfigError, environment_defaults
from quillet.server import Server


async def app(scope, receive, send):
    pass


@pytest.mark.parametrize("options, message", [
    (dict(h2_max_frame_size=100), "h2_max_frame_size must be between 16384 and 16777215, not 100"),
    (dict(h2_initial_window_size=0), "h2_initial_window_size must be between 1 and 2147483647"),
    (dict(h2_max_concurrent_streams=1.5), "h2_max_concurrent_streams must be an integer, not 1.5"),
    (dict(h2_max_header_list_size=True), "h2_max_header_list_size must be an integer"),
    (dict(lifespan="maybe"), "lifespan must be auto, on or off, not 'maybe'"),
    (dict(headers=[("Bad Name", "x")]), "invalid default header b'bad name'"),
    (dict(headers=[("x-a", "one\r\ntwo")]), "invalid default header b'x-a'"),
    (dict(access_log_format="%(nope)s"), "unknown access log field %(nope)s"),
    (dict(driver="fast"), "driver must be 'native' or 'python', not 'fast'"),
])
def test_server_options_out_of_range_are_refused_by_name(options, message):
    with pytest.raises(ValueError) as info:
        Server(app, **options)
    assert message in str(info.value)


def test_the_driver_comes_from_the_environment_unless_given(monkeypatch):
    monkeypatch.delenv("QUILLET_DRIVER", raising=False)
    assert Server(app).driver == "native"
    monkeypatch.setenv("QUILLET_DRIVER", "python")
    assert Server(app).driver == "python"
    assert Server(app, driver="native").driver == "native"


def test_default_headers_replace_the_server_name_and_keep_repeated_names():
    server = Server(app, headers=[("Server", "edge"), ("Link", "</a>"), ("link", "</b>")])
    assert server.default_headers == [(b"server", b"edge"), (b"link", b"</a>"),
                                      (b"link", b"</b>")]
    assert Server(app, server_header=False).default_headers == []


def test_every_option_of_a_parser_comes_from_the_environment():
    parser = argparse.ArgumentParser()
    parser.add_argument("target", nargs="?")
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--mode", choices=["a", "b"], default="a")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--no-color", dest="color", action="store_false")
    parser.add_argument("--feature", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--item", action="append")
    environment_defaults(parser, {
        "QUILLET_TARGET": "mod:app", "QUILLET_COUNT": " 7 ", "QUILLET_MODE": "b",
        "QUILLET_QUIET": "Yes", "QUILLET_COLOR": "off", "QUILLET_FEATURE": "0",
        "QUILLET_ITEM": "one\n\ntwo words\n"})
    args = parser.parse_args([])
    assert (args.target, args.count, args.mode, args.quiet, args.color, args.feature,
            args.item) == ("mod:app", 7, "b", True, False, False, ["one", "two words"])
    # the command line still wins; repeatable items add to the environment's
    args = parser.parse_args(["--count", "2", "--feature", "--item", "three"])
    assert (args.count, args.feature, args.item) == (2, True, ["one", "two words", "three"])
    for name, value, message in [("QUILLET_COUNT", "x", "QUILLET_COUNT='x': invalid int value"),
                                 ("QUILLET_MODE", "c", "QUILLET_MODE='c': choose one of a, b"),
                                 ("QUILLET_QUIET", "sure", "QUILLET_QUIET='sure': give 1, true")]:
        with pytest.raises(ConfigError, match=message.replace("(", r"\(")):
            environment_defaults(parser, {name: value})
