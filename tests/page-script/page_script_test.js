// The page's own script, on stand-ins of the browser: the console panel, and the browser's
// side of the Web MIDI host, its claims and its waits. The page as a whole, in a browser, is
// tested in tests/web.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');

const pageFolder = path.join(__dirname, '..', '..', 'update', 'web');
const { CreateConsolePanel, ProgressOfLine } = require(path.join(pageFolder, 'update_page.js'));
const { CreateBrowserMidi } = require(path.join(pageFolder, 'browser_midi.js'));

test('the panel shows what a console would', async (t) => {
    const cases = [
        ['a carriage return writes over the line and keeps its longer tail',
         'Transferring.. - 5% done\rAB', 'ABansferring.. - 5% done'],
        ['the search line blanked and written over by the device lines',
         'Searching.. - pair 1 of 4\r                              \rThe Update Device is Open successfully:\nMIDIIN',
         'The Update Device is Open successfully:\nMIDIIN'],
        ['a newline after a carriage return keeps the line as written over',
         'Transferring.. | 50% done\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n',
         'Transferring.. 100% done.  \n\nTarget update successfully!\n\n'],
    ];
    for (const [name, written, shown] of cases) {
        await t.test(name, () => {
            const panel = CreateConsolePanel();
            for (const byte of new TextEncoder().encode(written)) panel.writeByte(byte);
            assert.strictEqual(panel.text(), shown);
        });
    }
    await t.test('a name in UTF-8 arrives byte by byte and shows whole', () => {
        const panel = CreateConsolePanel();
        for (const byte of new TextEncoder().encode("OK: File 'TB615R-é€😀.led' is open.\n"))
            panel.writeByte(byte);
        assert.strictEqual(panel.text(), "OK: File 'TB615R-é€😀.led' is open.\n");
    });
});

test('the progress bar follows the latest progress line', async (t) => {
    await t.test('lines', () => {
        assert.strictEqual(ProgressOfLine('Searching.. | pair 3 of 12'), 0.25);
        assert.strictEqual(ProgressOfLine('Transferring.. / 42% done'), 0.42);
        assert.strictEqual(ProgressOfLine('Transferring.. 100% done.  '), 1);
        assert.strictEqual(ProgressOfLine('MIDIOUT Device: pair 3 of 12 42% done'), null);
    });
    await t.test('the closing line stands once a newline has ended it', () => {
        const panel = CreateConsolePanel();
        panel.write('Transferring.. - 97% done\rTransferring.. 100% done.  \n\nTarget update successfully!\n');
        assert.strictEqual(panel.progress(), 1);
    });
});

// A port as Web MIDI gives it; open() may be told to refuse or to leave the port pending.
function FakePort(type, id, { state = 'connected', opens = 'yes', name = 'Port ' + id } = {}) {
    return {
        type, id, name, state, closed: 0, sent: [],
        async open() {
            if (opens === 'refuse') throw new Error('InvalidAccessError');
            if (opens === 'pending') this.state = 'disconnected';
        },
        async close() { this.closed++; },
        send(bytes) {
            if (this.state !== 'connected') throw new Error('InvalidStateError');
            this.sent.push(Array.from(bytes));
        },
    };
}

// One lock manager per origin, as a browser keeps it for every tab of that origin.
function FakeLocks() {
    const held = new Set();
    return {
        held,
        request(name, options, callback) {
            assert.deepStrictEqual(options, { ifAvailable: true });
            if (held.has(name)) return Promise.resolve(callback(null));
            held.add(name);
            return Promise.resolve(callback({ name })).finally(() => held.delete(name));
        },
    };
}

function Browser({ inputs = [], outputs = [], locks = FakeLocks(), refuse = false, secure = true } = {}) {
    const access = {
        inputs: new Map(inputs.map((port) => [port.id, port])),
        outputs: new Map(outputs.map((port) => [port.id, port])),
    };
    return {
        isSecureContext: secure, setTimeout, URL, Blob,
        navigator: {
            locks,
            async requestMIDIAccess(options) {
                assert.deepStrictEqual(options, { sysex: true });
                if (refuse) throw new Error('Permission denied');
                return access;
            },
        },
    };
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 0));

test('access: the ports in the browser\'s order, or the reason there are none', async () => {
    const ports = [FakePort('input', 'b'), FakePort('input', 'a')];
    const granted = CreateBrowserMidi(Browser({ inputs: ports }), () => {});
    await granted.requestAccess();
    assert.deepStrictEqual(granted.ports(false).map((port) => port.id), ['b', 'a']);
    assert.strictEqual(granted.accessFailure, '');

    const cases = [
        [Browser({ refuse: true }), 'midi-refused'],
        [{ isSecureContext: false, navigator: {}, setTimeout }, 'insecure'],
        [{ isSecureContext: true, navigator: {}, setTimeout }, 'no-midi'],
    ];
    for (const [browser, failure] of cases) {
        const midi = CreateBrowserMidi(browser, () => {});
        await midi.requestAccess();
        assert.strictEqual(midi.accessFailure, failure);
        assert.deepStrictEqual([midi.ports(false), midi.ports(true)], [[], []]);
    }
});

test('a port that is gone or will not open is refused, and one left pending is closed', async () => {
    const outputs = [
        FakePort('output', 'gone', { state: 'disconnected' }),
        FakePort('output', 'refuses', { opens: 'refuse' }),
        FakePort('output', 'pending', { opens: 'pending' }),
        FakePort('output', 'fine'),
    ];
    const midi = CreateBrowserMidi(Browser({ outputs }), () => {});
    await midi.requestAccess();
    const opened = [];
    for (const [handle, port] of outputs.entries()) opened.push(await midi.open(true, port.id, handle));
    assert.deepStrictEqual(opened, [false, false, false, true]);
    assert.strictEqual(outputs[2].closed, 1);
});

test('a send to an output that has gone fails, however the browser tells it', async () => {
    const output = FakePort('output', 'out');
    const midi = CreateBrowserMidi(Browser({ outputs: [output] }), () => {});
    await midi.requestAccess();
    assert.ok(await midi.open(true, 'out', 1));
    assert.strictEqual(midi.send(1, new Uint8Array([0xF0, 0x01, 0xF7])), true);
    output.send = () => { throw new Error('InvalidStateError'); };
    assert.strictEqual(midi.send(1, new Uint8Array([0xF0, 0x02, 0xF7])), false);
    output.state = 'disconnected';
    assert.strictEqual(midi.send(1, new Uint8Array([0xF0, 0x03, 0xF7])), false);
    midi.close(1);
    assert.strictEqual(midi.send(1, new Uint8Array([0xF0, 0x04, 0xF7])), false);
});

test('a message ends a wait at once and reaches its input; a closed input hears nothing', async () => {
    const input = FakePort('input', 'in');
    const delivered = [];
    const midi = CreateBrowserMidi(Browser({ inputs: [input] }),
                                   (handle, bytes) => delivered.push([handle, Array.from(bytes)]));
    await midi.requestAccess();
    assert.ok(await midi.open(false, 'in', 7));
    const started = Date.now();
    const waiting = midi.pause(1500);
    input.onmidimessage({ data: new Uint8Array([0xF0, 0x39, 0xF7]) });
    await waiting;
    assert.ok(Date.now() - started < 1000);
    assert.deepStrictEqual(delivered, [[7, [0xF0, 0x39, 0xF7]]]);

    midi.close(7);
    assert.strictEqual(input.onmidimessage, null);
    assert.strictEqual(input.closed, 1);
    const quiet = Date.now();
    await midi.pause(30);
    assert.ok(Date.now() - quiet >= 25);
});

// A device's input and output are two ports of one name: a tab listening on the device's
// input while another greets it through its output would take the other's answer for its own.
test('two tabs never hold one device, in either direction; a claim lets go of the last of its direction', async () => {
    const locks = FakeLocks();
    const ports = {
        inputs: [FakePort('input', 'in-1', { name: 'VirMIDI 1-0' }), FakePort('input', 'in-2', { name: 'Midi Through' })],
        outputs: [FakePort('output', 'out-1', { name: 'VirMIDI 1-0' }), FakePort('output', 'out-2', { name: 'Midi Through' })],
    };
    const first = CreateBrowserMidi(Browser({ ...ports, locks }), () => {});
    const second = CreateBrowserMidi(Browser({ ...ports, locks }), () => {});
    await first.requestAccess();
    await second.requestAccess();
    assert.strictEqual(await first.claim(false, 'in-1'), true);
    assert.strictEqual(await first.claim(true, 'out-1'), true, 'its own input keeps no output off');
    assert.strictEqual(await second.claim(true, 'out-1'), false, 'the device another tab listens to');
    assert.strictEqual(await second.claim(false, 'in-2'), true);

    // Refused; the output's share of the device's claim goes, the input's stays.
    assert.strictEqual(await first.claim(true, 'out-2'), false);
    await settle();
    assert.deepStrictEqual([...locks.held].sort(),
                           ['update MIDI port Midi Through', 'update MIDI port VirMIDI 1-0']);
    assert.strictEqual(await first.claim(true, 'out-1'), true);
    first.release(false);
    await settle();
    assert.ok(locks.held.has('update MIDI port VirMIDI 1-0'), 'the output still holds the device');
    first.release(true);
    second.release(false);
    await settle();
    assert.deepStrictEqual([...locks.held], []);

    // The last output of one input's pairs, then the same device as the next input: the lock
    // that the page let go of is still held a moment, and is its own.
    assert.strictEqual(await first.claim(true, 'out-1'), true);
    first.release(true);
    assert.strictEqual(await first.claim(false, 'in-1'), true);
});

test('without Web Locks every claim is granted', async () => {
    const browser = Browser();
    delete browser.navigator.locks;
    const midi = CreateBrowserMidi(browser, () => {});
    assert.strictEqual(await midi.claim(false, 'in-1'), true);
    const refusing = Browser();
    refusing.navigator.locks = { request: () => Promise.reject(new Error('SecurityError')) };
    assert.strictEqual(await CreateBrowserMidi(refusing, () => {}).claim(true, 'out-1'), true);
});
