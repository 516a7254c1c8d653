#!/usr/bin/python3
"""Fills in the placeholders of download.conf.template and writes an nginx configuration.

    render.py [--template FILE] --out FILE NAME=VALUE...

Values come from NAME=VALUE arguments, else from the environment, else from the defaults below.
A placeholder without a value, or a value for a name the template does not have, is an error:
a configuration with a hole in it must not reach nginx. Only RELEASE_EXTRA may hold directives;
every other value is one word or address (no ";", braces, quotes or line breaks).

Names:
    NGINX_USER NGINX_GROUP   the workers' user and group when nginx starts as root
    RUN_DIR                  pid file and nginx's scratch folders
    LOG_DIR                  access.log and error.log
    A_LISTEN A_NAME          the download host: what it listens on ("443", "127.0.0.1:8443",
                             "localhost:8443") and its DNS name, the one compiled into the stub
    A_CERT A_KEY             its certificate chain and key (PEM)
    INSTALLER_URL            where A sends the stub: the current versioned installer on B
    B_LISTEN B_NAME B_CERT B_KEY   the same for the file host
    B_ROOT                   the folder that holds releases/<versioned installer>
    REDIRECT_STATUS          A's redirect (default 302)
    TLS_PROTOCOLS            default "TLSv1.2 TLSv1.3"
    RELEASE_EXTRA            more directives for the installers' location (default: none)
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "download.conf.template")
PLACEHOLDER = re.compile(r"\$\{([A-Z][A-Z0-9_]*)\}")
DEFAULTS = {"REDIRECT_STATUS": "302", "TLS_PROTOCOLS": "TLSv1.2 TLSv1.3", "RELEASE_EXTRA": ""}
MAY_HOLD_DIRECTIVES = {"RELEASE_EXTRA"}
NOT_IN_A_VALUE = re.compile(r"[;{}\"'\n\r]")


class RenderError(Exception):
    pass


def placeholders(text):
    return set(PLACEHOLDER.findall(text))


def render(text, values):
    """`text` with every placeholder replaced by its value in `values` (or its default)."""
    values = {**DEFAULTS, **values}
    wanted = placeholders(text)
    missing = sorted(wanted - values.keys())
    if missing:
        raise RenderError("no value for " + ", ".join(missing))
    unknown = sorted(values.keys() - wanted - DEFAULTS.keys())
    if unknown:
        raise RenderError("the template has no " + ", ".join(unknown))
    for name in wanted - MAY_HOLD_DIRECTIVES:
        if not values[name].strip() or NOT_IN_A_VALUE.search(values[name]):
            raise RenderError(f"{name}={values[name]!r}: one word or address, please")
    return PLACEHOLDER.sub(lambda m: values[m.group(1)], text)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], epilog=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--template", default=TEMPLATE)
    parser.add_argument("--out", required=True)
    parser.add_argument("values", nargs="*", metavar="NAME=VALUE")
    args = parser.parse_args(argv)
    with open(args.template, encoding="utf-8") as f:
        text = f.read()
    values = {name: os.environ[name] for name in placeholders(text) if name in os.environ}
    for item in args.values:
        name, sep, value = item.partition("=")
        if not sep:
            parser.error(f"{item!r} is not NAME=VALUE")
        values[name] = value
    try:
        rendered = render(text, values)
    except RenderError as e:
        print(f"render.py: {e}", file=sys.stderr)
        return 1
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(rendered)
    return 0


if __name__ == "__main__":
    sys.exit(main())
