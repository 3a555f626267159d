# The same take in Blender: un-parent all 60 items keeping their motion (Bake Action, visual keying,
# clear parents). Run: blender -b --python blender_bake.py -- FRAMES
import bpy, math, random, sys, time
frames = int(sys.argv[sys.argv.index("--") + 1]) if "--" in sys.argv else 500
bpy.ops.wm.read_factory_settings(use_empty=True)
scene = bpy.context.scene
scene.frame_start, scene.frame_end = 0, frames - 1
random.seed(1)
objs = []
for i in range(60):
    o = bpy.data.objects.new("b%d" % i, None)
    scene.collection.objects.link(o)
    if i:
        o.parent = objs[i - 1] if i % 3 else objs[(i - 1) // 2]
    objs.append(o)
for n, o in enumerate(objs):
    act = bpy.data.actions.new("a%d" % n)
    o.animation_data_create().action = act
    for path in ("location", "rotation_euler"):
        for k in range(3):
            fc = act.fcurves.new(path, index=k)
            fc.keyframe_points.add(frames)
            ph, amp = random.random() * 6.28, (1.0 if path == "location" else 0.6)
            co = []
            for f in range(frames):
                co += [f, amp * math.sin(0.05 * f + ph)]
            fc.keyframe_points.foreach_set("co", co)
            fc.update()
for o in objs:
    o.select_set(True)
bpy.context.view_layer.objects.active = objs[0]
t = time.perf_counter()
bpy.ops.nla.bake(frame_start=0, frame_end=frames - 1, only_selected=True, visual_keying=True,
                 clear_parents=True, use_current_action=True, bake_types={'OBJECT'})
dt = time.perf_counter() - t
print("BAKE frames=%d items=%d seconds=%.3f item_frames_per_s=%.0f" % (frames, len(objs), dt, frames * len(objs) / dt))
