// The Mol* viewer beside the run: applies the run's viewer actions in order, as they arrive.
//
// Each action maps onto the viewer's public API (the Viewer class, its plugin context, and the
// `molstar.lib` namespace). A malformed action shows an error badge and never stops the actions
// after it. `loadMvsData` always replaces the scene, so a session loaded with `replace: false`
// is followed by a replay of the earlier actions since the last reset.

// The message types that make up the scene (replayed after a session): those the viewer-operation
// catalogue of QorvelAPI.molstar marks so, as the server sends it.
async function sceneTypes() {
    const reply = await fetch("/api/viewer");
    if (!reply.ok) throw new Error(`the viewer catalogue could not be read (HTTP ${reply.status})`);
    const { operations } = await reply.json();
    return new Set(operations.filter((operation) => operation.replayed).map((operation) => operation.type));
}
const FORMATS = { pdb: ["pdb", false], ent: ["pdb", false], cif: ["mmcif", false], mmcif: ["mmcif", false],
                  bcif: ["mmcif", true], mol: ["mol", false], sdf: ["sdf", false], mol2: ["mol2", false],
                  xyz: ["xyz", false], gro: ["gro", false] };

function parseColor(text) {
    const match = /^#([0-9a-fA-F]{6})$/.exec(String(text));
    if (!match) throw new Error(`colour ${JSON.stringify(text)} is not #rrggbb`);
    return parseInt(match[1], 16);
}

function finite(value, what) {
    const number = Number(value);
    if (typeof value !== "number" || !Number.isFinite(number)) throw new Error(`${what} must be a number, got ${JSON.stringify(value)}`);
    return number;
}

// The viewer takes these as the platform does; they draw nothing, so the page says why.
function drawsNothing(data) {
    const found = [];
    if (typeof data.radius === "number" && data.radius < 0) found.push(`radius ${data.radius} is negative`);
    if (typeof data.opacity === "number" && !(data.opacity >= 0 && data.opacity <= 1)) {
        found.push(`opacity ${data.opacity} is outside 0..1`);
    }
    return found.length ? `${found.join("; ")}: nothing is drawn` : "";
}

function fixed(value, width, decimals) {
    return value.toFixed(decimals).padStart(width).slice(-width);
}

// One atom at (x, y, z), as a PDB HETATM record: drawn as spacefill, it is the sphere.
function oneAtomPdb(x, y, z) {
    return `HETATM    1  C   SPH S   1    ${fixed(x, 8, 3)}${fixed(y, 8, 3)}${fixed(z, 8, 3)}  1.00  0.00           C\nEND\n`;
}

export class SceneViewer {
    constructor(viewer, errors, sceneTypes) {
        this.viewer = viewer;
        this.sceneTypes = sceneTypes;
        this.plugin = viewer.plugin;
        this.errors = errors;
        this.queue = Promise.resolve();
        this.received = 0;
        this.applied = 0;
        this.failed = 0;
        this.history = [];      // actions since the last reset, replayed after an MVS session
        this.labels = new Map(); // molecule label -> structure refs
        this.generation = 0;
        this.focused = false;
        this.timings = [];      // [type, milliseconds] of each applied action
    }

    static async create(element, errors, lean) {
        const types = await sceneTypes();
        const options = {
            layoutIsExpanded: false, layoutShowControls: false, layoutShowRemoteState: false,
            layoutShowSequence: false, layoutShowLog: false, layoutShowLeftPanel: false,
            viewportShowExpand: false, viewportShowSelectionMode: false, viewportShowAnimation: false,
            viewportShowTrajectoryControls: false, illumination: false, volumeStreamingDisabled: true,
        };
        if (lean) Object.assign(options, { extensions: ["mvs"], disableAntialiasing: true, pixelScale: 1, pickScale: 0.25 });
        const viewer = await molstar.Viewer.create(element, options);
        if (lean) {
            viewer.plugin.canvas3d.setProps({ multiSample: { mode: "off" }, postprocessing: { enabled: false },
                                              camera: { helper: { axes: { name: "off", params: {} } } } });
        }
        return new SceneViewer(viewer, errors, types);
    }

    // Queues one action of the run (an entry of the "viewer" event: index, action, url).
    enqueue(entry) {
        this.received += 1;
        const generation = this.generation;
        this.queue = this.queue.then(async () => {
            if (generation !== this.generation) return;
            const started = performance.now();
            try {
                await this.apply(entry, true);
                this.applied += 1;
            } catch (error) {
                this.failed += 1;
                this.badge(entry, error);
            }
            this.timings.push([entry.action && entry.action.type, Math.round(performance.now() - started)]);
        });
        return this.queue;
    }

    // A new run: the scene, the camera and the counters start again.
    restart() {
        this.generation += 1;
        this.received = this.applied = this.failed = 0;
        this.timings = [];
        this.errors.replaceChildren();
        this.queue = this.queue.then(async () => {
            const started = performance.now();
            await this.clear();
            this.timings.push(["restart", Math.round(performance.now() - started)]);
        });
        return this.queue;
    }

    get done() { return this.applied + this.failed; }

    badge(entry, error) {
        const item = document.createElement("li");
        const type = entry && entry.action ? entry.action.type : "?";
        item.textContent = `viewer action #${entry ? entry.index : "?"} (${type}): ${error && error.message ? error.message : error}`;
        this.errors.append(item);
    }

    async apply(entry, record) {
        const action = entry.action;
        if (!action || typeof action !== "object" || typeof action.type !== "string") throw new Error("not a viewer action");
        const data = action.data;
        if (!data || typeof data !== "object" || Array.isArray(data)) throw new Error("its \"data\" is not an object");
        const handler = this[`do_${action.type}`];
        if (!handler) throw new Error(`unknown action type "${action.type}"`);
        await handler.call(this, data, entry);
        const nothing = drawsNothing(data);
        if (nothing) this.badge(entry, nothing);
        if (record && this.sceneTypes.has(action.type)) this.history.push(entry);
    }

    async do_addMolecule(data, entry) {
        if (entry.missing) throw new Error(`${data.molContent} does not exist`);
        if (!entry.url) throw new Error(`${data.molContent} is outside the plugin folder and the run folder`);
        const extension = String(data.fileName || entry.url).split(".").pop().toLowerCase();
        const [format, binary] = FORMATS[extension] || ["pdb", false];
        const before = new Set(this.structures().map((s) => s.cell.transform.ref));
        await this.viewer.loadStructureFromUrl(entry.url, format, binary, { label: data.label || data.fileName });
        const added = this.structures().filter((s) => !before.has(s.cell.transform.ref)).map((s) => s.cell.transform.ref);
        if (!added.length) throw new Error(`no structure could be read from ${data.fileName}`);
        this.labels.set(String(data.label || data.fileName), added);
    }

    async do_focus(data) {
        const residue = data.residue;
        if (!Number.isInteger(residue)) throw new Error(`residue must be an integer, got ${JSON.stringify(residue)}`);
        let refs = null;
        if (data.structureLabel != null) {
            refs = this.labels.get(String(data.structureLabel));
            if (!refs) throw new Error(`no molecule labelled "${data.structureLabel}"`);
        }
        const schema = data.chain != null ? { auth_seq_id: residue, auth_asym_id: String(data.chain) } : { auth_seq_id: residue };
        const { StructureElement } = molstar.lib.structure;
        for (const structure of this.structures()) {
            if (refs ? !refs.includes(structure.cell.transform.ref) : structure.cell.obj.label === "qorvel-sphere") continue;
            const loci = StructureElement.Loci.fromSchema(structure.cell.obj.data, schema);
            if (StructureElement.Loci.isEmpty(loci)) continue;
            const extraRadius = finite(data.nearRadius ?? 5, "nearRadius");
            const sphere = StructureElement.Loci.getBoundingSphere(loci);
            this.focused = true;
            this.plugin.managers.structure.focus.setFromLoci(loci);
            this.plugin.managers.camera.focusSphere(sphere, { extraRadius });
            await this.cameraAt(sphere.center);
            return;
        }
        const chain = data.chain != null ? ` of chain ${data.chain}` : "";
        throw new Error(`residue ${residue}${chain} not found`);
    }

    async do_addSphere(data) {
        const p = data.position || {};
        const [x, y, z] = [finite(p.x, "x"), finite(p.y, "y"), finite(p.z, "z")];
        const radius = finite(data.radius, "radius");
        const opacity = finite(data.opacity ?? 1, "opacity");
        const color = parseColor(data.color);
        const builders = this.plugin.builders;
        const raw = await builders.data.rawData({ data: oneAtomPdb(x, y, z), label: "qorvel-sphere" });
        const trajectory = await builders.structure.parseTrajectory(raw, "pdb");
        const model = await builders.structure.createModel(trajectory);
        const structure = await builders.structure.createStructure(model, undefined, { label: "qorvel-sphere" });
        await builders.structure.representation.addRepresentation(structure, {
            type: "spacefill", typeParams: { alpha: opacity },
            color: "uniform", colorParams: { value: color },
            size: "uniform", sizeParams: { value: radius },
        });
        this.frameIfFirst();
    }

    async do_addBox(data) {
        const p = data.position || {};
        const center = ["x0", "y0", "z0"].map((k) => finite(p[k], `position.${k}`));
        const sides = [finite(p.x1, "position.x1"), finite(p.y2, "position.y2"), finite(p.z3, "position.z3")];
        const { Vec3 } = molstar.lib.math.LinearAlgebra;
        const T = molstar.lib.plugin.StateTransforms;
        const radius = Math.min(4, Math.max(0.01, finite(data.radiusScale ?? 1, "radiusScale") / 2));
        const update = this.plugin.build();
        update.toRoot()
            .apply(T.Shape.BoxShape3D, {
                bottomLeft: Vec3.create(...center.map((c, i) => c - sides[i] / 2)),
                topRight: Vec3.create(...center.map((c, i) => c + sides[i] / 2)),
                radius, color: parseColor(data.color),
            })
            .apply(T.Representation.ShapeRepresentation3D, { alpha: finite(data.opacity ?? 1, "opacity") });
        await update.commit();
        this.frameIfFirst();
    }

    async do_setBackgroundColor(data) {
        this.plugin.canvas3d.setProps({ renderer: { backgroundColor: parseColor(data.color) } });
    }

    async do_setSpin(data) {
        const speed = finite(data.speed, "speed");
        const animate = speed === 0 ? { name: "off", params: {} }
            : { name: "spin", params: { speed, axis: molstar.lib.math.LinearAlgebra.Vec3.create(0, -1, 0) } };
        this.plugin.canvas3d.setProps({ trackball: { animate } });
    }

    async do_reset() {
        await this.clear();
    }

    async do_loadMVJS(data, entry) {
        if (typeof data.session !== "string") throw new Error("\"session\" must be the session's JSON text");
        await this.viewer.loadMvsData(data.session, "mvsj", { replaceExisting: true });
        this.labels.clear();
        const earlier = data.replace ? [] : this.history;
        this.history = [];
        // The session replaced the scene: what came before it is drawn again, in its order.
        for (const previous of earlier) {
            try {
                await this.apply(previous, true);
            } catch (error) {
                this.badge(previous, error);
            }
        }
    }

    async clear() {
        this.focused = false;
        this.history = [];
        this.labels.clear();
        await this.plugin.clear();
        this.plugin.managers.camera.reset();
    }

    // The camera follows what is drawn until the run focuses something.
    frameIfFirst() {
        if (!this.focused) this.plugin.managers.camera.reset();
    }

    // The canvas moves the camera on its own frames, and a frame can take a second when new
    // shaders compile: the focus is done once the camera rests on its target (or after 10 s).
    async cameraAt(target) {
        const camera = this.plugin.canvas3d.camera;
        const deadline = performance.now() + 10000;
        const there = () => !camera.transition.inTransition
            && Math.hypot(...[0, 1, 2].map((k) => camera.state.target[k] - target[k])) < 1e-3;
        while (!there() && performance.now() < deadline) await SceneViewer.frames();
    }

    structures() {
        return this.plugin.managers.structure.hierarchy.current.structures;
    }

    // Waits for two animation frames, so the canvas shows the latest state.
    static frames() {
        return new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
    }
}
