"""The updater's console text, as the page must finally show it.

The program writes its lines with "\\n" and rewrites the progress line in place with "\\r";
the page shows what a terminal would show at the end, which render() works out. The pause
prompt of the console program has no place on the page.
"""

BANNER = "Update V0.3 - Update KELVORIN TV615R System\n"
IMAGE_DAMAGED = "Error: The upgrade file is error!\n\n"
NO_DEVICE_FOUND = "\nFailed: Can't find the suitable device to update!\n\n"
RESET_REQUEST = "Please reset the product and retry again!\n\n"
OUTPUT_MISSING = "\nError: The MIDI Out of device is missing!\n\n"
TRANSFER_DONE = "\rTransferring.. 100% done.  \n"
UPDATE_SUCCEEDED = "\nTarget update successfully!\n\n"
CRC_ERROR = "\nThe CRC of the download file is error!\n"
UPDATE_ERROR = "\nError in updating.\n"

# The search draws its progress line in place, then blanks it, leaving the cursor at the start
# of a line of spaces, which the search's message writes over.
SEARCH_END = "\r" + " " * 30 + "\r"
SPINNER = "--\\\\||//"
MOST_ATTEMPTS = 20


def render(text):
    """What a terminal shows once TEXT is written: "\\r" goes back to the start of the line,
    and what follows overwrites it, leaving the rest of the line as it was."""
    lines = [""]
    column = 0
    for character in text:
        if character == "\n":
            lines.append("")
            column = 0
        elif character == "\r":
            column = 0
        else:
            line = lines[-1]
            lines[-1] = line[:column] + character + line[column + 1:]
            column += 1
    return "\n".join(lines)


def parse_image(text):
    """The bytes of an image file's hexadecimal text."""
    return bytes.fromhex(text)


def record_sizes(image):
    """The size of each record, its 2-byte length field included."""
    sizes = []
    position = 0
    while position < len(image):
        sizes.append(image[position] * 256 + image[position + 1] + 2)
        position += sizes[-1]
    return sizes


def opened_line(name):
    return f"OK: File '{name}' is open.\n"


def device_lines(input_name, output_name):
    return (f"The Update Device is Open successfully:\nMIDIIN Device: {input_name}\n"
            f"MIDIOUT Device: {output_name}\n")


def progress_line(glyph, percent):
    return "\r" + " " * 24 + f"\rTransferring.. {glyph} {percent}% done"


def record_line(image, record):
    """The progress line while record number RECORD (from 1) goes out, those before accepted."""
    sizes = record_sizes(image)
    accepted = sum(sizes[:record - 1])
    return progress_line(SPINNER[(record - 1) % 8], accepted * 100 // len(image))


def transfer_lines(image):
    """A whole transfer, every record accepted at its first attempt."""
    lines = "".join(record_line(image, record)
                    for record in range(1, len(record_sizes(image)) + 1))
    return lines + TRANSFER_DONE + UPDATE_SUCCEEDED


def refused_lines(image):
    """The first record refused as damaged at every attempt, until the attempts run out."""
    line = record_line(image, 1)
    return (line + CRC_ERROR) * (MOST_ATTEMPTS - 1) + line + UPDATE_ERROR


def page_text(messages):
    """The page's console at the end of a run that printed MESSAGES after the banner."""
    return render(BANNER + messages)
