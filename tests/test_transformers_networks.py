"""Networks users bring from transformers, built from small configs: wrapped, they run
and keep working with the model's own weight handling (tying, resizing), and they
convert bit for bit."""

import contextlib
import copy
import warnings

import pytest
import torch
import torch.nn as nn

transformers = pytest.importorskip(
    "transformers", reason="transformers is an optional test dependency (pip install transformers)")
if not transformers.is_torch_available():  # it leaves out its models on a torch too old for it
    pytest.skip(f"transformers {transformers.__version__} does not work with torch {torch.__version__}",
                allow_module_level=True)

from pipeline import check_conversion  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402
from quorvane import utils_quorvane as UZR  # noqa: E402

Conv1D = transformers.pytorch_utils.Conv1D
VOCABULARY = 100


def vit():
    config = transformers.ViTConfig(hidden_size=32, num_hidden_layers=1, num_attention_heads=2, intermediate_size=64,
                                    image_size=16, patch_size=8)
    return transformers.ViTModel(config), torch.randn(2, 3, 16, 16)


def gpt2(head=True):
    config = transformers.GPT2Config(n_embd=32, n_layer=1, n_head=2, vocab_size=VOCABULARY, n_positions=16,
                                     bos_token_id=0, eos_token_id=0)
    net = transformers.GPT2LMHeadModel(config) if head else transformers.GPT2Model(config)
    return net, torch.randint(0, VOCABULARY, (2, 5))


def bert():
    config = transformers.BertConfig(hidden_size=32, num_hidden_layers=1, num_attention_heads=2, intermediate_size=64,
                                     vocab_size=VOCABULARY, max_position_embeddings=16)
    return transformers.BertModel(config), torch.randint(0, VOCABULARY, (2, 5))


def outputs(net, x):
    with torch.no_grad():
        return net(x).to_tuple()


@contextlib.contextmanager
def no_warning_from_wrap_layers():
    """Fails on any warning of wrap_layers (a layer left unwrapped or never called);
    other libraries' warnings pass."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        yield
    ours = [str(w.message) for w in seen if str(w.message).startswith("wrap_layers")]
    assert not ours, ours


# Every Linear, and for GPT-2 its attention and MLP layers (transformers' Conv1D) too.
NETWORKS = {"vit": (vit, (nn.Linear,)), "gpt2": (gpt2, (nn.Linear, Conv1D)), "bert": (bert, (nn.Linear,))}


@pytest.mark.parametrize("kind", NETWORKS)
def test_wrapped_networks_run_and_convert_bit_for_bit(kind):
    make, types = NETWORKS[kind]
    torch.manual_seed(0)
    net, x = make()
    with no_warning_from_wrap_layers():
        wrapped = UZR.wrap_layers(net, layer_types=types, num_dendrites=2, sample_input=(x,))
    assert wrapped and not wrapped.left_unwrapped
    net.eval()
    # The forward reads a wrapped layer's weight (ViT: projection.weight.dtype) and runs.
    trained, converted = check_conversion(net, x)
    assert UZR.count_wrappers(converted) == 0


def test_gpt2_ties_and_resizes_as_the_plain_model_does():
    torch.manual_seed(1)
    plain, x = gpt2()
    wrapped = copy.deepcopy(plain)
    assert UZR.wrap_layers(wrapped, num_dendrites=2, sample_input=(x,)) == ["lm_head"]
    head = wrapped.lm_head
    for net in (plain, wrapped):
        keys = list(net.state_dict())
        net.tie_weights()
        assert list(net.state_dict()) == keys  # no stray lm_head.weight
        assert net.lm_head.weight is net.transformer.wte.weight
        net.resize_token_embeddings(120)
        assert list(net.state_dict()) == keys
        assert net.lm_head.weight is net.transformer.wte.weight and net.lm_head.out_features == 120
    assert wrapped.lm_head is head
    # The dendrites followed the head to the larger vocabulary; the new tokens' skip
    # weights start at zero.
    assert [tuple(layer.weight.shape) for layer in head.dendrite_module.layers] == [(120, 32)] * 2
    assert [layer.out_features for layer in head.dendrite_module.layers] == [120, 120]
    assert all(w.shape[1] == 120 and not w[:, 100:].any() for w in head.dendrites_to_top)
    longer = torch.randint(0, 120, (2, 5))
    logits = [outputs(net, longer)[0] for net in (plain, wrapped)]
    assert logits[0].shape == logits[1].shape == (2, 5, 120)
    wrapped.eval()
    check_conversion(wrapped, longer)


def test_wrap_layers_names_the_sample_input_for_layers_of_other_libraries():
    net, x = gpt2(head=False)
    with pytest.raises(ValueError, match=r"cannot tell the output shape of Conv1D \(h\.0\.attn\.c_attn\): "
                                         r"pass sample_input"):
        UZR.wrap_layers(net, layer_types=(Conv1D,))
    assert UZR.count_wrappers(net) == 0
    assert UZR.wrap_layers(net, layer_types=(Conv1D,), sample_input=(x,)) == [
        "h.0.attn.c_attn", "h.0.attn.c_proj", "h.0.mlp.c_fc", "h.0.mlp.c_proj"]
    assert type(net.h[0].attn.c_attn) is ZR.ZORNeuronModule and net.h[0].attn.c_attn.nf == 96
    net.eval()
    check_conversion(net, x)
