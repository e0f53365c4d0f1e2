// The browser's side of the page's MIDI host (midi_host_web.cpp), of its port claims
// (port_claim_web.cpp) and of its waits (clock_web.cpp). Built into the page ahead of the
// program; CreateBrowserMidi takes the browser's global scope, so that it runs on a stand-in.

// Wakes a wait after its time. A dedicated worker's timers are neither stretched when they
// follow each other nor throttled in a hidden tab, as the page's own are; the page's timer runs
// beside it all the same, for a browser that refuses the worker, and the first to fire counts.
function CreateWakeTimer(scope) {
    let worker = null;
    const pending = new Map();
    let lastId = 0;
    try {
        const code = 'onmessage = e => setTimeout(() => postMessage(e.data.id), e.data.ms);';
        worker = new scope.Worker(scope.URL.createObjectURL(new scope.Blob([code])));
        worker.onmessage = (event) => {
            const callback = pending.get(event.data);
            pending.delete(event.data);
            if (callback) callback();
        };
        worker.onerror = () => { worker = null; };
    } catch (error) {
        worker = null;
    }
    return {
        after(milliseconds, callback) {
            scope.setTimeout(callback, milliseconds);
            if (!worker) return;
            const id = ++lastId;
            pending.set(id, callback);
            worker.postMessage({ id, ms: milliseconds });
        },
    };
}

// deliver(handle, bytes) hands a message that arrived on an open input to the program.
function CreateBrowserMidi(scope, deliver) {
    const timer = CreateWakeTimer(scope);
    let lists = { inputs: [], outputs: [] };
    const openPorts = new Map();
    // The function that lets go of this page's claim, per direction.
    const claims = { input: null, output: null };
    // Each lock that this page holds or is letting go of, by name: its request, which settles
    // once the browser has let go of it.
    const ownLocks = new Map();
    let wake = null;

    function WakeUp() {
        const waiting = wake;
        wake = null;
        if (waiting) waiting();
    }

    function Find(output, id) {
        return (output ? lists.outputs : lists.inputs).find((port) => port.id === id);
    }

    // Browsers hide requestMIDIAccess outside a secure context: that is told apart first.
    async function AskForAccess() {
        if (scope.isSecureContext === false) return { failure: 'insecure' };
        const navigator = scope.navigator;
        if (!navigator || typeof navigator.requestMIDIAccess !== 'function')
            return { failure: 'no-midi' };
        try {
            return { access: await navigator.requestMIDIAccess({ sysex: true }) };
        } catch (error) {
            return { failure: 'midi-refused', reason: String(error && error.message || error) };
        }
    }

    const midi = {
        // Why the last run had no MIDI: '' when it had, or the outcome that tells it.
        accessFailure: '',
        accessRefusal: '',

        // The lists stay as they are for the whole run, in the order the browser gives them.
        async requestAccess() {
            lists = { inputs: [], outputs: [] };
            const { access, failure, reason } = await AskForAccess();
            midi.accessFailure = failure || '';
            midi.accessRefusal = reason || '';
            if (access) {
                lists = {
                    inputs: Array.from(access.inputs.values()),
                    outputs: Array.from(access.outputs.values()),
                };
            }
        },

        ports(output) {
            return output ? lists.outputs : lists.inputs;
        },

        portName(id) {
            const port = Find(false, id) || Find(true, id);
            return (port && port.name) || '';
        },

        // A port that is gone, or that the browser will not open, is refused.
        async open(output, id, handle) {
            const port = Find(output, id);
            if (!port || port.state === 'disconnected') return false;
            try {
                await port.open();
            } catch (error) {
                return false;
            }
            // Web MIDI resolves the open of a port that went meanwhile, as pending.
            if (port.state !== 'connected') {
                port.close().catch(() => {});
                return false;
            }
            if (!output) {
                port.onmidimessage = (event) => {
                    deliver(handle, event.data);
                    WakeUp();
                };
            }
            openPorts.set(handle, port);
            return true;
        },

        close(handle) {
            const port = openPorts.get(handle);
            if (!port) return;
            openPorts.delete(handle);
            if (port.type === 'input') port.onmidimessage = null;
            port.close().catch(() => {});
        },

        // A port that is gone (a cable pulled) refuses what is sent, as send() would by throwing.
        send(handle, bytes) {
            const port = openPorts.get(handle);
            if (!port || port.state !== 'connected') return false;
            try {
                port.send(bytes);
                return true;
            } catch (error) {
                return false;
            }
        },

        // Held until released; taking another claim of the same direction lets go of the last.
        // A claim is named after the port's name, not its direction: a device's input and output
        // are two ports of one name, and a tab listening on the device's input while another
        // greets it through its output would take the other's answer for its own. So the page's
        // own input never keeps its own output off the same device: a claim that the other
        // direction holds already is shared, and let go of when neither holds it.
        // Where the browser has no Web Locks, or refuses them to the page's origin, every claim
        // is granted, so that updating still works.
        claim(output, id) {
            midi.release(output);
            const direction = output ? 'output' : 'input';
            const other = claims[output ? 'input' : 'output'];
            const port = Find(output, id);
            const name = 'update MIDI port ' + ((port && port.name) || id);
            if (other && other.name === name) {
                claims[direction] = other;
                return Promise.resolve(true);
            }
            const locks = scope.navigator && scope.navigator.locks;
            if (!locks) return Promise.resolve(true);
            const request = () => new Promise((resolve) => {
                const ended = locks.request(name, { ifAvailable: true }, (lock) => {
                    if (!lock) {
                        resolve(false);
                        return undefined;
                    }
                    return new Promise((letGo) => {
                        claims[direction] = { name, letGo };
                        resolve(true);
                    });
                }).catch(() => resolve(true));
                ownLocks.set(name, ended);
                ended.finally(() => {
                    if (ownLocks.get(name) === ended) ownLocks.delete(name);
                });
            });
            // The browser lets go of a lock some time after the page has: a port that this page
            // let go of a moment ago (the last output tried, now wanted as the next input) would
            // otherwise be refused as another tab's.
            const ending = ownLocks.get(name);
            return ending ? ending.then(request) : request();
        },

        release(output) {
            const direction = output ? 'output' : 'input';
            const claim = claims[direction];
            claims[direction] = null;
            if (claim && claims[output ? 'input' : 'output'] !== claim) claim.letGo();
        },

        // Ends after milliseconds, or at once when a message arrives.
        pause(milliseconds) {
            return new Promise((resolve) => {
                wake = resolve;
                timer.after(milliseconds, () => {
                    if (wake === resolve) wake = null;
                    resolve();
                });
            });
        },
    };
    return midi;
}

if (typeof Module !== 'undefined') {
    Module.browserMidi = CreateBrowserMidi(globalThis, (handle, bytes) => {
        const address = Module._malloc(bytes.length);
        HEAPU8.set(bytes, address);
        Module._DeliverBrowserMidiMessage(handle, address, bytes.length);
        Module._free(address);
    });
}
if (typeof module !== 'undefined') module.exports = { CreateBrowserMidi };
