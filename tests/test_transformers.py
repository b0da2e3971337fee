"""Networks nobody here wrote: transformers' BERT, GPT-2 and ViT, built from small configs,
wrapped, trained a few steps, converted, saved with quorvane.save and loaded with
quorvane.load onto a freshly built model in a new process."""

import json
import os
import re

import pytest
import torch
import torch.nn as nn

transformers = pytest.importorskip("transformers", reason="transformers is an optional test dependency "
                                                          "(pip install transformers)")
if not transformers.is_torch_available():  # it leaves out its models on a torch too old for it
    pytest.skip(f"transformers {transformers.__version__} does not work with torch {torch.__version__}",
                allow_module_level=True)
pytest.importorskip("safetensors", reason="quorvane.save/load write safetensors")

import quorvane  # noqa: E402
from networks import structure  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402
from quorvane import utils_quorvane as UZR  # noqa: E402
from subproc import run_python  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))


def small_config(kind):
    common = {"vocab_size": 100, "bos_token_id": 0, "eos_token_id": 0, "pad_token_id": 0}
    if kind == "bert":
        return transformers.BertConfig(hidden_size=32, num_hidden_layers=2, num_attention_heads=2,
                                       intermediate_size=64, max_position_embeddings=32, **common)
    if kind == "gpt2":
        return transformers.GPT2Config(n_embd=32, n_layer=2, n_head=2, n_positions=32, **common)
    return transformers.ViTConfig(hidden_size=32, num_hidden_layers=1, num_attention_heads=2, intermediate_size=64,
                                  image_size=16, patch_size=8, num_channels=3)


def model_class(kind):
    return {"bert": "BertModel", "gpt2": "GPT2LMHeadModel"}.get(kind, "ViTModel")


def sample(kind, batch=2):
    if kind.startswith("vit"):
        return torch.randn(batch, 3, 16, 16)
    return torch.randint(1, 100, (batch, 8))


def wrapped_layer_types(kind):
    if kind == "gpt2":  # GPT-2's projections are Conv1D; its output layer is tied to the embedding
        from transformers.pytorch_utils import Conv1D

        return (Conv1D,)
    if kind == "vit":  # all but the patch projection, whose weight ViT reads (see below)
        return (nn.Linear,)
    return (nn.Linear, nn.Conv2d)


def main_output(kind, output):
    return output.logits if kind == "gpt2" else output.last_hidden_state


def trained_and_converted(kind):
    torch.manual_seed(0)
    model = getattr(transformers, model_class(kind))(small_config(kind))
    x = sample(kind)
    assert UZR.wrap_layers(model, layer_types=wrapped_layer_types(kind), num_dendrites=2, sample_input=(x,))
    optimiser = torch.optim.Adam(model.parameters(), lr=1e-2)
    model.train()
    for _ in range(3):
        optimiser.zero_grad()
        main_output(kind, model(sample(kind, 4))).float().pow(2).mean().backward()
        optimiser.step()
    model.eval()
    report = quorvane.convert(model, verify=((x,), {}))
    assert report.max_difference == 0 and not report.unconverted
    return report.network, x


def transparent(module_type):
    """Whether a trained wrapper or clean module answers for its main layer's weight."""
    if module_type is ZR.ZORNeuronModule:
        return hasattr(ZR.ZORNeuronModule(nn.Linear(2, 2), 1), "weight")
    return hasattr(quorvane.convert(nn.Sequential(ZR.ZORNeuronModule(nn.Linear(2, 2), 1))).network[0], "weight")


LOAD_ELSEWHERE = """
    import json, os, sys
    os.environ["HF_HUB_OFFLINE"] = "1"
    import torch
    sys.path.insert(0, {tests!r})
    torch.set_num_threads(1)
    import quorvane
    import transformers
    from networks import structure
    from safetensors.torch import load_file, save_file

    torch.manual_seed(12345)  # initial weights other than the saved ones
    config = transformers.AutoConfig.from_pretrained({directory!r})
    model = quorvane.load(getattr(transformers, {cls!r})(config), {directory!r}).eval()
    x = load_file({io!r})["x"].clone()  # where torch puts a tensor, not where the file had it
    with torch.no_grad():
        output = model(x)
    out = output.logits if {cls!r} == "GPT2LMHeadModel" else output.last_hidden_state
    save_file({{"out": out.contiguous()}}, {io!r})
    print(json.dumps(structure(model)))
"""


@pytest.mark.parametrize("kind", [
    "bert", "gpt2",
    pytest.param("vit", marks=pytest.mark.xfail(
        not transparent(ZR.ZORNeuronModule), raises=AttributeError, strict=True,
        reason="ViTModel reads embeddings.patch_embeddings.projection.weight.dtype, and so fails at any wrapper "
               "that does not answer for its layer's weight")),
    # With its patch projection (a Conv2d) wrapped and converted, ViT reads that weight
    # from the clean module.
    pytest.param("vit-projection", marks=pytest.mark.xfail(
        not transparent(ZR.ZORNeuronModule) or not transparent(quorvane.marlune.ZORModulePyThread),
        raises=AttributeError, strict=True,
        reason="ViTModel reads embeddings.patch_embeddings.projection.weight.dtype, which a ZORModulePyThread "
               "does not answer for its main layer")),
])
def test_converted_model_loads_onto_a_fresh_one_in_a_new_process(tmp_path, kind):
    from safetensors.torch import load_file, save_file

    model, x = trained_and_converted(kind)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        with torch.no_grad():
            expected = main_output(kind, model(x))
    finally:
        torch.set_num_threads(threads)
    directory = tmp_path / "converted"
    quorvane.save(model, directory)
    model.config.save_pretrained(directory)  # the architecture, the transformers way
    save_file({"x": x}, tmp_path / "io.safetensors")

    result = run_python(LOAD_ELSEWHERE.format(tests=TESTS, directory=str(directory), cls=model_class(kind),
                                              io=str(tmp_path / "io.safetensors")), timeout=300)
    assert result.returncode == 0, result.stderr
    assert torch.equal(load_file(tmp_path / "io.safetensors")["out"], expected)
    positions, groups = json.loads(result.stdout)
    assert [tuple(p) for p in positions] == structure(model)[0]
    assert groups == structure(model)[1]
    if kind == "gpt2":  # the output layer stays tied to the token embedding
        assert ["transformer.wte.weight", "lm_head.weight"] in groups


@pytest.mark.parametrize("kind, outside_state", [("gpt2", []), ("bert", ["position_ids", "token_type_ids"])])
def test_converted_model_loads_onto_a_meta_device_base(tmp_path, kind, outside_state):
    """Built under torch.device("meta") (no initialisation of its weights), the model loads
    as a freshly built one does, GPT-2's output layer still tied to its embedding. BERT's
    embeddings hold buffers outside the state_dict, which the checkpoint cannot give:
    refused, the base left on the meta device, until the model is given them."""
    from quorvane.checkpoint import CheckpointError

    model, x = trained_and_converted(kind)
    quorvane.save(model, tmp_path)
    cls, config = getattr(transformers, model_class(kind)), small_config(kind)
    reference = quorvane.load(cls(config), tmp_path).eval()
    with torch.device("meta"):
        base = cls(config)
    for name in outside_state:
        with pytest.raises(CheckpointError, match=re.escape(f"base_net's embeddings.{name} is a meta tensor outside "
                                                            "its state_dict (a non-persistent buffer)")):
            quorvane.load(base, tmp_path)
        assert all(t.is_meta for t in base.state_dict().values())
        setattr(base.embeddings, name, getattr(cls(config).embeddings, name))
    assert quorvane.load(base, tmp_path) is base
    assert structure(base.eval()) == structure(reference) == structure(model)
    state, saved = base.state_dict(), model.state_dict()
    assert state.keys() == saved.keys() and all(torch.equal(state[n], saved[n]) for n in saved)
    with torch.no_grad():
        assert torch.equal(main_output(kind, base(x)), main_output(kind, reference(x)))
