"""Convert an HL7 v2 file to JSON records and print them."""

import json
import sys

from segmorph import Hl7Json


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "examples/adt_a01.hl7"
    records = Hl7Json.from_file(path).hl7_json
    json.dump(records, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
