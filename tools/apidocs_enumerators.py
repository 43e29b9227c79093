#!/usr/bin/python3
"""Checks that every public enumerator of the API reference is described.

    /usr/bin/python3 tools/apidocs_enumerators.py build/apidocs/xml

Doxygen 1.9.4 warns about undocumented classes, functions and members but
not about undocumented enumerators. This reads the XML doxygen writes next
to the HTML and fails, naming file:line, for each enumerator that has no
description of its own and is not named in its enum's description (how the
values of a one-line enum are described).
"""
import os
import re
import sys
import xml.etree.ElementTree as ET


def text(element):
    return "" if element is None else "".join(element.itertext())


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    xml_dir = sys.argv[1]
    index = os.path.join(xml_dir, "index.xml")
    if not os.path.isfile(index):
        print(f"apidocs_enumerators: {index} is missing (GENERATE_XML = YES?)", file=sys.stderr)
        return 2
    seen = set()
    missing = []
    count = 0
    for name in sorted(os.listdir(xml_dir)):
        if not name.endswith(".xml") or name == "index.xml":
            continue
        root = ET.parse(os.path.join(xml_dir, name)).getroot()
        for enum in root.iter("memberdef"):
            if enum.get("kind") != "enum" or enum.get("id") in seen:
                continue
            seen.add(enum.get("id"))
            enum_text = text(enum.find("briefdescription")) + " " + text(enum.find("detaileddescription"))
            location = enum.find("location")
            where = name
            if location is not None:
                # Paths are relative to include/ (STRIP_FROM_PATH).
                path = location.get("file")
                if not os.path.isabs(path) and os.path.isfile(os.path.join("include", path)):
                    path = os.path.join("include", path)
                where = f"{path}:{location.get('line')}"
            for value in enum.findall("enumvalue"):
                count += 1
                own = text(value.find("briefdescription")) + text(value.find("detaileddescription"))
                value_name = text(value.find("name"))
                if own.strip() or re.search(r"\b" + re.escape(value_name) + r"\b", enum_text):
                    continue
                enum_name = text(enum.find("name")) or "(anonymous enum)"
                missing.append(f"{where}: enumerator {value_name} of {enum_name} is not documented")
    for line in missing:
        print(line, file=sys.stderr)
    if missing:
        return 1
    print(f"apidocs_enumerators: {count} enumerators, all described")
    return 0


if __name__ == "__main__":
    sys.exit(main())
